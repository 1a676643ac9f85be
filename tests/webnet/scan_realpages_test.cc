// Real pages: the HTML documentation installed on this machine and a bookmark file in the
// browsers' export format are scanned without a fault, and their titles and anchor counts agree
// with libxml2's HTML parser reading the same files.
#include <ftw.h>
#include <libxml/HTMLparser.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scan_records.h"
#include "testsupport.h"
#include "webnet.h"

namespace {

// ---- the independent count: libxml2's HTML SAX parser ------------------------------------------

struct Peer {
    int anchors = 0;
    int headings3 = 0;
    int titleDepth = 0;
    bool fTitleDone = false;
    bool fHasTitle = false;
    std::string title;
};

void PeerStart(void* ctx, const xmlChar* name, const xmlChar**) {
    auto* peer = static_cast<Peer*>(ctx);
    const char* n = reinterpret_cast<const char*>(name);
    if (strcmp(n, "a") == 0) {
        ++peer->anchors;
    } else if (strcmp(n, "h3") == 0) {
        ++peer->headings3;
    } else if (strcmp(n, "title") == 0 && !peer->fTitleDone) {
        peer->titleDepth = 1;
        peer->fHasTitle = true;
    }
}

void PeerEnd(void* ctx, const xmlChar* name) {
    auto* peer = static_cast<Peer*>(ctx);
    if (strcmp(reinterpret_cast<const char*>(name), "title") == 0 && peer->titleDepth) {
        peer->titleDepth = 0;
        peer->fTitleDone = true;
    }
}

void PeerText(void* ctx, const xmlChar* ch, int len) {
    auto* peer = static_cast<Peer*>(ctx);
    if (peer->titleDepth) {
        peer->title.append(reinterpret_cast<const char*>(ch), static_cast<size_t>(len));
    }
}

Peer PeerCount(const std::string& strHtml) {
    Peer peer;
    htmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    sax.startElement = PeerStart;
    sax.endElement = PeerEnd;
    sax.characters = PeerText;
    htmlParserCtxtPtr ctxt =
        htmlCreatePushParserCtxt(&sax, &peer, nullptr, 0, nullptr, XML_CHAR_ENCODING_NONE);
    htmlCtxtUseOptions(ctxt, HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
    htmlParseChunk(ctxt, strHtml.data(), static_cast<int>(strHtml.size()), 1);
    htmlFreeParserCtxt(ctxt);
    return peer;
}

// ---- our scan ----------------------------------------------------------------------------------

struct Ours {
    int anchors = 0;
    int headings3 = 0;
    int records = 0;
    std::vector<std::string> lines;
};

int CountOurs(ScanElement* e, void* userData) {
    auto* ours = static_cast<Ours*>(userData);
    ++ours->records;
    if (e->name != nullptr && strcmp(e->name, "A") == 0) {
        ++ours->anchors;
    } else if (e->name != nullptr && strcmp(e->name, "H3") == 0) {
        ++ours->headings3;
    }
    if (ours->lines.size() < 100000) {
        ours->lines.push_back(qn::test::RecordLine(e));
    }
    return 1;
}

std::string Collapsed(const std::string& str) {
    std::string out;
    for (char c : str) {
        bool fBlank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (fBlank) {
            if (!out.empty() && out.back() != ' ') {
                out.push_back(' ');
            }
        } else {
            out.push_back(c);
        }
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

bool PlainAscii(const std::string& str) {
    return std::all_of(str.begin(), str.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && c != '&' && c != '<';
    });
}

std::vector<std::string> g_files;

int Visit(const char* path, const struct stat* st, int type, struct FTW*) {
    size_t n = strlen(path);
    if (type == FTW_F && n > 5 && (strcmp(path + n - 5, ".html") == 0) && st->st_size > 512 &&
        st->st_size < (4 << 20)) {
        g_files.push_back(path);
    }
    return 0;
}

// Up to `limit` documentation pages, spread over what is installed, in a fixed order.
std::vector<std::string> DocumentationPages(size_t limit) {
    g_files.clear();
    nftw("/usr/share/doc", Visit, 16, FTW_PHYS);
    std::sort(g_files.begin(), g_files.end());
    std::vector<std::string> picked;
    if (g_files.empty()) {
        return picked;
    }
    size_t step = std::max<size_t>(1, g_files.size() / limit);
    for (size_t i = 0; i < g_files.size() && picked.size() < limit; i += step) {
        picked.push_back(g_files[i]);
    }
    return picked;
}

class ScanRealPages : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(QNINetInitialize(), QNINET_OK); }
    void TearDown() override { QNINetTerminate(); }
};

}  // namespace

TEST_F(ScanRealPages, DocumentationPagesAgreeWithLibxml2) {
    std::vector<std::string> pages = DocumentationPages(60);
    if (pages.empty()) {
        GTEST_SKIP() << "no HTML documentation under /usr/share/doc";
    }
    int titlesCompared = 0;
    int totalAnchors = 0;
    for (const std::string& path : pages) {
        std::string html = qn::test::ReadFile(path);
        Peer peer = PeerCount(html);
        Ours ours;
        ASSERT_EQ(QNINetScanPageFromFileByName(path.c_str(), CountOurs, &ours), QNINET_OK) << path;
        EXPECT_EQ(ours.anchors, peer.anchors) << path;
        totalAnchors += ours.anchors;

        char title[4096];
        int rc = QNINetScanForTitleFromFileByName(path.c_str(), sizeof title, title);
        std::string peerTitle = Collapsed(peer.title);
        if (peerTitle.empty()) {
            EXPECT_EQ(rc, QNINET_ERR_NO_TITLE) << path;
        } else if (PlainAscii(peerTitle)) {
            ASSERT_EQ(rc, QNINET_OK) << path;
            EXPECT_EQ(std::string(title), peerTitle) << path;
            ++titlesCompared;
        } else {
            EXPECT_TRUE(rc == QNINET_OK || rc == QNINET_ERR_NO_TITLE) << path;
        }
    }
    EXPECT_GT(titlesCompared, 0);
    EXPECT_GT(totalAnchors, 0);
    std::printf("%zu pages, %d titles compared, %d anchors\n", pages.size(), titlesCompared,
                totalAnchors);
}

TEST_F(ScanRealPages, BookmarkExportFile) {
    std::string path = std::string(SCAN_FIXTURE_DIR) + "/real/bookmarks.html";
    std::string html = qn::test::ReadFile(path);
    ASSERT_FALSE(html.empty());
    Peer peer = PeerCount(html);
    Ours ours;
    ASSERT_EQ(QNINetScanPageFromFileByName(path.c_str(), CountOurs, &ours), QNINET_OK);
    EXPECT_EQ(ours.anchors, 23);
    EXPECT_EQ(ours.anchors, peer.anchors);
    EXPECT_EQ(ours.headings3, peer.headings3);
    char title[64];
    ASSERT_EQ(QNINetScanForTitleFromFileByName(path.c_str(), sizeof title, title), QNINET_OK);
    EXPECT_STREQ(title, "Bookmarks");
    EXPECT_EQ(Collapsed(peer.title), "Bookmarks");

    auto has = [&](const std::string& line) {
        return std::find(ours.lines.begin(), ours.lines.end(), line) != ours.lines.end();
    };
    EXPECT_TRUE(has("0 A \"Debian\" HREF=\"https://www.debian.org/\""));
    EXPECT_TRUE(
        has("0 A \"Monitored page\" BULLETIN-DATE=\"1700000100\" "
            "BULLETIN-TEXT=\"changed today\" QNI_DESCRIPTION=\"A monitored page\" "
            "QNI_ITEM_SUBTYPE=\"1\" QNI_ITEM_TYPE=\"3\" QNI_MOD_DATE=\"1700000099\" "
            "HREF=\"https://quillon.example/item/17\""));
    EXPECT_TRUE(has("0 A \"libcurl & its API\" HREF=\"https://curl.se/libcurl/c/\""));
    EXPECT_TRUE(has("0 A \"Debian \"News\"\" HREF=\"https://www.debian.org/News/\""));
    EXPECT_TRUE(has("0 A \"Caf\xC3\xA9 M\xC3\xBCller\" HREF=\"https://example.org/caf%C3%A9\""));
    EXPECT_TRUE(has("0 A \"Query <strings>\" HREF=\"https://example.org/b?x=1&amp;y=2\""));
    EXPECT_TRUE(has("0 H3 \"Caf\xC3\xA9s & places\""));
    EXPECT_TRUE(has("0 H1 \"Bookmarks Menu\""));
    EXPECT_TRUE(has("4 - \"The universal operating system\""));
    // Every list that starts also ends.
    EXPECT_EQ(std::count(ours.lines.begin(), ours.lines.end(), "1 DL"), 5);
    EXPECT_EQ(std::count(ours.lines.begin(), ours.lines.end(), "2 DL"), 5);

    // Every anchor of the export is a result of the default configuration.
    long count = 0;
    int calls = 0;
    auto countAnchor = [](ScanElement*, void* userData) {
        ++*static_cast<int*>(userData);
        return 1;
    };
    ASSERT_EQ(
        QNINetScanForAnchorFromFileByName(path.c_str(), "no engine", countAnchor, &calls, &count),
        QNINET_OK);
    EXPECT_EQ(count, 23);
    EXPECT_EQ(calls, 23);
}
