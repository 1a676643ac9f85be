// webnet's loads beside their peers, against one nginx on 127.0.0.1:
//   sequential GETs of a 1 KB page to a file, against libcurl's easy interface with the same
//   HTTP/1.0 settings, over plain HTTP and over TLS (a second nginx with a certificate of a
//   private CA both sides trust);
//   a 100 MB download to a file, against the curl command-line tool;
//   50 concurrent asynchronous GETs in one poll loop, against libcurl's multi interface.
// Prints the ratios at the end (peer time / our time: 1.0 is as fast as the peer), each from
// the median of several repetitions.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "peers.h"
#include "ratioreporter.h"
#include "webnet.h"

namespace {

constexpr int kConcurrent = 50;
constexpr long long kBigBytes = 100LL * 1024 * 1024;

qn::webtest::NginxServer& Nginx() {
    static qn::webtest::NginxServer* s_pNginx = [] {
        auto* pNginx = new qn::webtest::NginxServer;
        if (!pNginx->Start()) {
            std::fprintf(stderr, "nginx did not start\n");
            std::exit(1);
        }
        qn::test::WriteFile(pNginx->Root() + "/page1k.html", std::string(1024, 'p'));
        // The 100 MB file, written in pieces.
        int fd = open((pNginx->Root() + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string block(1024 * 1024, 'b');
        for (long long n = 0; n < kBigBytes; n += static_cast<long long>(block.size()))
            (void)!write(fd, block.data(), block.size());
        fsync(fd);  // no write-back of it during the runs
        close(fd);
        return pNginx;
    }();
    return *s_pNginx;
}

qn::test::TempDir& Certs() {
    static qn::test::TempDir dir;
    return dir;
}

qn::webtest::NginxServer& TlsNginx() {
    static qn::webtest::NginxServer* s_pNginx = [] {
        auto* pNginx = new qn::webtest::NginxServer;
        pNginx->SetTls(Certs().file("good.pem"), Certs().file("server.key"));
        if (!qn::webtest::MakeTestCertificates(Certs().path()) || !pNginx->Start()) {
            std::fprintf(stderr, "nginx over TLS did not start\n");
            std::exit(1);
        }
        qn::test::WriteFile(pNginx->Root() + "/page1k.html", std::string(1024, 'p'));
        return pNginx;
    }();
    return *s_pNginx;
}

qn::test::TempDir& Out() {
    static qn::test::TempDir dir;
    return dir;
}

size_t WriteToFd(char* pData, size_t cbSize, size_t cItems, void* pFd) {
    const size_t cb = cbSize * cItems;
    return write(*static_cast<int*>(pFd), pData, cb) == static_cast<ssize_t>(cb) ? cb : 0;
}

// libcurl set up as webnet sets it up: HTTP/1.0, no reuse, one header list.
void SetupPeerEasy(CURL* pEasy, const std::string& url, int* pFd, curl_slist* pHeaders) {
    curl_easy_setopt(pEasy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(pEasy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(pEasy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_PROXY, "");
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, pHeaders);
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, WriteToFd);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, pFd);
    curl_easy_setopt(pEasy, CURLOPT_CAINFO, Certs().file("ca.pem").c_str());
}

curl_slist* PeerHeaders() {
    curl_slist* pList = nullptr;
    pList = curl_slist_append(pList, "Accept: text/html");
    pList = curl_slist_append(pList, "Accept: text/plain");
    pList = curl_slist_append(pList, "Pragma: no-cache");
    pList = curl_slist_append(pList, "User-Agent: webnet32.DLL/3.1 libwww/3.1");
    pList = curl_slist_append(pList, "Accept: */*");
    return pList;
}

// ---- Sequential 1 KB GETs ----

void BM_WebnetGet1K(benchmark::State& state) {
    QNINetInitialize();
    const std::string url = Nginx().Url("/page1k.html");
    const std::string out = Out().file("webnet-1k");
    for (auto _ : state) {
        if (QNINetGetPageToFileByName(url.c_str(), 0, out.c_str(), nullptr, nullptr) != 0)
            state.SkipWithError("load failed");
        unlink(out.c_str());  // every run creates its file afresh, for both sides
    }
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_WebnetGet1K)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

void BM_PeerCurlGet1K(benchmark::State& state) {
    const std::string url = Nginx().Url("/page1k.html");
    const std::string out = Out().file("curl-1k");
    curl_slist* pHeaders = PeerHeaders();
    CURL* pEasy = curl_easy_init();
    for (auto _ : state) {
        int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        SetupPeerEasy(pEasy, url, &fd, pHeaders);
        if (curl_easy_perform(pEasy) != CURLE_OK)
            state.SkipWithError("load failed");
        close(fd);
        unlink(out.c_str());
    }
    curl_easy_cleanup(pEasy);
    curl_slist_free_all(pHeaders);
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PeerCurlGet1K)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

// ---- Sequential 1 KB GETs over TLS ----

void BM_WebnetGet1KTls(benchmark::State& state) {
    QNINetInitialize();
    const std::string url = TlsNginx().Url("/page1k.html");
    const std::string out = Out().file("webnet-1k-tls");
    for (auto _ : state) {
        if (QNINetGetPageToFileByName(url.c_str(), 0, out.c_str(), nullptr, nullptr) != 0)
            state.SkipWithError("load failed");
        unlink(out.c_str());
    }
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_WebnetGet1KTls)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

void BM_PeerCurlGet1KTls(benchmark::State& state) {
    const std::string url = TlsNginx().Url("/page1k.html");
    const std::string out = Out().file("curl-1k-tls");
    curl_slist* pHeaders = PeerHeaders();
    CURL* pEasy = curl_easy_init();
    for (auto _ : state) {
        int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        SetupPeerEasy(pEasy, url, &fd, pHeaders);
        if (curl_easy_perform(pEasy) != CURLE_OK)
            state.SkipWithError("load failed");
        close(fd);
        unlink(out.c_str());
    }
    curl_easy_cleanup(pEasy);
    curl_slist_free_all(pHeaders);
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PeerCurlGet1KTls)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

// ---- 100 MB to a file ----

void BM_WebnetGet100M(benchmark::State& state) {
    QNINetInitialize();
    const std::string url = Nginx().Url("/big.bin");
    const std::string out = Out().file("webnet-big");
    for (auto _ : state) {
        if (QNINetGetPageToFileByName(url.c_str(), 0, out.c_str(), nullptr, nullptr) != 0)
            state.SkipWithError("load failed");
        unlink(out.c_str());  // each run starts without the last one's pages to write back
    }
    state.SetBytesProcessed(state.iterations() * kBigBytes);
}
BENCHMARK(BM_WebnetGet100M)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(3);

void BM_PeerCurlTool100M(benchmark::State& state) {
    const std::string url = Nginx().Url("/big.bin");
    const std::string out = Out().file("curl-big");
    for (auto _ : state) {
        pid_t pid =
            qn::test::Spawn({"curl", "-q", "-s", "--noproxy", "*", "--http1.0", "-o", out, url});
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("curl failed");
        unlink(out.c_str());
    }
    state.SetBytesProcessed(state.iterations() * kBigBytes);
}
BENCHMARK(BM_PeerCurlTool100M)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(3);

// ---- 50 concurrent asynchronous GETs ----

std::map<int, long> g_watched;

// The poll set of the sockets being watched; both sides of the asynchronous benchmark share it.
void WatchedPollSet(std::vector<pollfd>* pFds) {
    pFds->clear();
    for (auto [fd, events] : g_watched) {
        short pollEvents = static_cast<short>(((events & QNINET_FD_READ) ? POLLIN : 0) |
                                              ((events & QNINET_FD_WRITE) ? POLLOUT : 0));
        pFds->push_back(pollfd{fd, pollEvents, 0});
    }
}

long g_msTimer = -1;

void Watch(unsigned /*message*/, int socket, long events) {
    if (socket == QNINET_TIMER_SOCKET)
        g_msTimer = events;
    else if (events == 0)
        g_watched.erase(socket);
    else
        g_watched[socket] = events;
}

int g_cDone = 0;
int OnStatus(int code, HTRequest*, void*) {
    if (code >= 2000)
        ++g_cDone;
    return 1;
}

void BM_WebnetAsync50(benchmark::State& state) {
    QNINetInitialize();
    QNINetSetAsync(Watch, 1);
    const std::string url = Nginx().Url("/page1k.html");
    std::vector<std::string> outs;
    for (int i = 0; i < kConcurrent; ++i)
        outs.push_back(Out().file("webnet-async-" + std::to_string(i)));
    std::vector<pollfd> fds;
    for (auto _ : state) {
        g_cDone = 0;
        for (int i = 0; i < kConcurrent; ++i)
            QNINetGetPageToFileByName(url.c_str(), 0, outs[i].c_str(), OnStatus, nullptr);
        while (g_cDone < kConcurrent) {
            WatchedPollSet(&fds);
            int n = poll(fds.data(), fds.size(), g_msTimer < 0 ? 100 : static_cast<int>(g_msTimer));
            if (n == 0) {
                g_msTimer = -1;
                QNINetAsyncContinue(QNINET_TIMER_SOCKET, 0);
                continue;
            }
            for (const pollfd& p : fds) {
                long event = ((p.revents & (POLLIN | POLLHUP | POLLERR)) ? QNINET_FD_READ : 0) |
                             ((p.revents & POLLOUT) ? QNINET_FD_WRITE : 0);
                if (event != 0)
                    QNINetAsyncContinue(p.fd, event);
            }
        }
        for (const std::string& out : outs)
            unlink(out.c_str());
    }
    QNINetSetAsync(nullptr, 0);
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}
BENCHMARK(BM_WebnetAsync50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

int PeerSocket(CURL*, curl_socket_t s, int what, void*, void*) {
    if (what == CURL_POLL_REMOVE)
        g_watched.erase(s);
    else
        g_watched[s] = (what & CURL_POLL_IN ? QNINET_FD_READ : 0) |
                       (what & CURL_POLL_OUT ? QNINET_FD_WRITE : 0);
    return 0;
}

int PeerTimer(CURLM*, long msTimeout, void*) {
    g_msTimer = msTimeout;
    return 0;
}

void BM_PeerCurlMulti50(benchmark::State& state) {
    const std::string url = Nginx().Url("/page1k.html");
    curl_slist* pHeaders = PeerHeaders();
    CURLM* pMulti = curl_multi_init();
    curl_multi_setopt(pMulti, CURLMOPT_SOCKETFUNCTION, PeerSocket);
    curl_multi_setopt(pMulti, CURLMOPT_TIMERFUNCTION, PeerTimer);
    std::vector<CURL*> easies(kConcurrent);
    std::vector<int> fdsOut(kConcurrent);
    for (auto& pEasy : easies)
        pEasy = curl_easy_init();
    std::vector<pollfd> fds;
    g_watched.clear();
    for (auto _ : state) {
        for (int i = 0; i < kConcurrent; ++i) {
            fdsOut[i] = open(Out().file("curl-async-" + std::to_string(i)).c_str(),
                             O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            SetupPeerEasy(easies[i], url, &fdsOut[i], pHeaders);
            curl_multi_add_handle(pMulti, easies[i]);
        }
        int cRunning = kConcurrent;
        curl_multi_socket_action(pMulti, CURL_SOCKET_TIMEOUT, 0, &cRunning);
        int cDone = 0;
        while (cDone < kConcurrent) {
            WatchedPollSet(&fds);
            int n = poll(fds.data(), fds.size(), g_msTimer < 0 ? 100 : static_cast<int>(g_msTimer));
            if (n == 0) {
                g_msTimer = -1;
                curl_multi_socket_action(pMulti, CURL_SOCKET_TIMEOUT, 0, &cRunning);
            }
            for (const pollfd& p : fds) {
                int mask = ((p.revents & (POLLIN | POLLHUP | POLLERR)) ? CURL_CSELECT_IN : 0) |
                           ((p.revents & POLLOUT) ? CURL_CSELECT_OUT : 0);
                if (mask != 0)
                    curl_multi_socket_action(pMulti, p.fd, mask, &cRunning);
            }
            CURLMsg* pMessage = nullptr;
            int cLeft = 0;
            while ((pMessage = curl_multi_info_read(pMulti, &cLeft)) != nullptr) {
                if (pMessage->msg == CURLMSG_DONE) {
                    curl_multi_remove_handle(pMulti, pMessage->easy_handle);
                    ++cDone;
                }
            }
        }
        for (int i = 0; i < kConcurrent; ++i) {
            close(fdsOut[i]);
            unlink(Out().file("curl-async-" + std::to_string(i)).c_str());
        }
    }
    for (CURL* pEasy : easies)
        curl_easy_cleanup(pEasy);
    curl_multi_cleanup(pMulti);
    curl_slist_free_all(pHeaders);
    state.SetItemsProcessed(state.iterations() * kConcurrent);
}
BENCHMARK(BM_PeerCurlMulti50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5);

void PrintRatio(const qn::bench::RatioReporter& reporter, const char* pszOurs, const char* pszPeer,
                const char* pszWhat) {
    const double tOurs = reporter.RealTime(pszOurs);
    const double tPeer = reporter.RealTime(pszPeer);
    if (tOurs > 0 && tPeer > 0)
        std::printf("ratio: %s %.2f (goal >= 0.9)\n", pszWhat, tPeer / tOurs);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Nginx();
    TlsNginx();
    // webnet trusts the private CA through its setting, read at QNINetInitialize.
    setenv("QUILLON_WEBNET_CA_FILE", Certs().file("ca.pem").c_str(), 1);
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    QNINetTerminate();
    PrintRatio(reporter, "BM_WebnetGet1K", "BM_PeerCurlGet1K",
               "sequential 1 KB GETs, webnet against libcurl easy:");
    PrintRatio(reporter, "BM_WebnetGet1KTls", "BM_PeerCurlGet1KTls",
               "sequential 1 KB GETs over TLS, webnet against libcurl easy:");
    PrintRatio(reporter, "BM_WebnetGet100M", "BM_PeerCurlTool100M",
               "100 MB download, webnet against the curl tool:");
    PrintRatio(reporter, "BM_WebnetAsync50", "BM_PeerCurlMulti50",
               "50 concurrent asynchronous GETs, webnet against libcurl multi:");
    Nginx().Stop();
    TlsNginx().Stop();
    curl_global_cleanup();
    return 0;
}
