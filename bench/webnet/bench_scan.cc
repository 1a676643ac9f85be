// Page-scanning throughput beside its peers, on at least 20 MB of real HTML (the documentation
// pages installed under /usr/share/doc, repeated until the corpus is large enough):
//   - QuillonScan: our tokenizer and scanner, each page fed in 16 KB blocks, every record
//     handed to a routine;
//   - QuillonScanFile: the same through QNINetScanPageFromFileByName on one file;
//   - Libxml2Sax: libxml2's HTML push parser with SAX handlers for elements and text;
//   - MemchrLt: a memchr pass counting '<', the practical limit of any HTML reader.
// After the runs the ratios of throughput are printed.
#include <ftw.h>
#include <libxml/HTMLparser.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ratioreporter.h"
#include "scanner.h"
#include "sgml.h"
#include "webnet.h"

using namespace qn::webnet::scan;

namespace {

constexpr size_t kMinCorpus = 20u << 20;
std::vector<std::string> g_files;

int Visit(const char* path, const struct stat* st, int type, struct FTW*) {
    size_t n = strlen(path);
    if (type == FTW_F && n > 5 && strcmp(path + n - 5, ".html") == 0 && st->st_size > 0) {
        g_files.push_back(path);
    }
    return 0;
}

struct Corpus {
    std::vector<std::string> pages;
    size_t bytes = 0;
    std::string strFile;  // all pages in one file, for the file scan
};

const Corpus& TheCorpus() {
    static Corpus corpus = [] {
        Corpus c;
        nftw("/usr/share/doc", Visit, 16, FTW_PHYS);
        std::sort(g_files.begin(), g_files.end());
        std::vector<std::string> originals;
        for (const auto& path : g_files) {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            if (!s.str().empty()) {
                originals.push_back(s.str());
            }
        }
        if (originals.empty()) {
            // No documentation installed: one small page stands in.
            originals.push_back(
                "<html><head><title>Empty corpus</title></head><body>"
                "<p>No HTML under /usr/share/doc.</p></body></html>");
        }
        while (c.bytes < kMinCorpus) {
            for (const auto& page : originals) {
                c.pages.push_back(page);
                c.bytes += page.size();
            }
        }
        char name[] = "/tmp/bench_scan_XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            for (const auto& page : c.pages) {
                if (write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size())) {
                    break;
                }
            }
            close(fd);
            c.strFile = name;
        }
        std::fprintf(stderr, "corpus: %zu pages from %zu files, %.1f MB\n", c.pages.size(),
                     originals.size(), static_cast<double>(c.bytes) / (1 << 20));
        return c;
    }();
    return corpus;
}

int CountRecord(ScanElement* e, void* userData) {
    ++*static_cast<size_t*>(userData);
    benchmark::DoNotOptimize(e->text);
    return 1;
}

void QuillonScan(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    size_t records = 0;
    for (auto _ : state) {
        for (const auto& page : corpus.pages) {
            PageScanner scanner(CountRecord, &records);
            SgmlParser parser(scanner);
            parser.SetContinueFlag(scanner.ContinueFlag());
            for (size_t i = 0; i < page.size(); i += 16384) {
                parser.Feed(page.data() + i, std::min<size_t>(16384, page.size() - i));
            }
            parser.Finish();
            scanner.Finish();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
    state.counters["records"] = static_cast<double>(records) / state.iterations();
}

void QuillonScanFile(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    QNINetInitialize();
    size_t records = 0;
    for (auto _ : state) {
        if (QNINetScanPageFromFileByName(corpus.strFile.c_str(), CountRecord, &records) != 0) {
            state.SkipWithError("scan failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
}

struct SaxCount {
    size_t elements = 0;
    size_t text = 0;
};

void SaxStart(void* ctx, const xmlChar*, const xmlChar** atts) {
    static_cast<SaxCount*>(ctx)->elements++;
    benchmark::DoNotOptimize(atts);
}
void SaxEnd(void* ctx, const xmlChar*) {
    static_cast<SaxCount*>(ctx)->elements++;
}
void SaxText(void* ctx, const xmlChar*, int len) {
    static_cast<SaxCount*>(ctx)->text += static_cast<size_t>(len);
}

void Libxml2Sax(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    htmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    sax.startElement = SaxStart;
    sax.endElement = SaxEnd;
    sax.characters = SaxText;
    SaxCount count;
    for (auto _ : state) {
        for (const auto& page : corpus.pages) {
            htmlParserCtxtPtr ctxt =
                htmlCreatePushParserCtxt(&sax, &count, nullptr, 0, nullptr, XML_CHAR_ENCODING_NONE);
            htmlCtxtUseOptions(ctxt, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
            for (size_t i = 0; i < page.size(); i += 16384) {
                size_t n = std::min<size_t>(16384, page.size() - i);
                htmlParseChunk(ctxt, page.data() + i, static_cast<int>(n), 0);
            }
            htmlParseChunk(ctxt, nullptr, 0, 1);
            htmlFreeParserCtxt(ctxt);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
    state.counters["elements"] = static_cast<double>(count.elements) / state.iterations();
}

void MemchrLt(benchmark::State& state) {
    const Corpus& corpus = TheCorpus();
    size_t total = 0;
    for (auto _ : state) {
        for (const auto& page : corpus.pages) {
            const char* p = page.data();
            const char* end = p + page.size();
            while ((p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(end - p))))) {
                ++total;
                ++p;
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
}

}  // namespace

BENCHMARK(QuillonScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(QuillonScanFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Libxml2Sax)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(MemchrLt)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = reporter.Counter("QuillonScan/min_time:2.000", "bytes_per_second");
    double file = reporter.Counter("QuillonScanFile/min_time:2.000", "bytes_per_second");
    double peer = reporter.Counter("Libxml2Sax/min_time:2.000", "bytes_per_second");
    double limit = reporter.Counter("MemchrLt/min_time:2.000", "bytes_per_second");
    const double mb = 1 << 20;
    std::printf(
        "\nscan throughput: ours %.1f MB/s (from a file %.1f MB/s), libxml2 SAX %.1f MB/s, "
        "memchr '<' %.1f MB/s\n",
        ours / mb, file / mb, peer / mb, limit / mb);
    if (peer > 0 && limit > 0) {
        std::printf(
            "ratio ours/libxml2 = %.2f (goal >= 1.0); ours/memchr = %.3f; "
            "file scan/libxml2 = %.2f\n",
            ours / peer, ours / limit, file / peer);
    }
    if (!TheCorpus().strFile.empty()) {
        unlink(TheCorpus().strFile.c_str());
    }
    benchmark::Shutdown();
    return 0;
}
