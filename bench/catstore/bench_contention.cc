// One catalog under contention: 8 processes, each its own user, run a mix of calls on one folder
// (finds, creates, renames, refreshes) for a fixed time, beside 1 process running the same mix.
// Printed: calls per second of all processes together, the 99th-percentile and the longest call,
// and the ratio of the 8-process throughput to the 1-process one.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "catstore.h"
#include "testsupport.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kItems = 200;
constexpr double kSeconds = 4.0;

void Check(bool fOk, const char* pszWhat, EXSM_STATUS st = EXSM_SUCCESS) {
    if (!fOk) {
        std::fprintf(stderr, "benchmark set-up failed: %s (%s)\n", pszWhat, EXStatusText(st));
        std::exit(2);
    }
}

EX_ITEMINFO Bookmark(const std::string& strName) {
    EX_ITEMINFO info{};
    info.type = 1;
    info.itemaccesslevel = 1;
    std::snprintf(info.itemname, sizeof info.itemname, "%s", strName.c_str());
    return info;
}

struct Setup {
    std::string strPath;
    uint32_t dwFolder = 0;
    std::vector<uint32_t> items;
};

Setup MakeCatalog(const std::string& strPath) {
    Setup s;
    s.strPath = strPath;
    EX_BOARDINFO info{};
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
    Check(hbrd != nullptr, "EXBoardCreate", st);
    for (int i = 0; i < kProcesses; ++i) {
        EX_USERINFO user{};
        user.hName = EXStringCreate(("worker" + std::to_string(i)).c_str());
        user.hPassword = EXStringCreate("pw");
        USER_OBJECT* hUser = EXUserCreate(hbrd, &user, &st);
        Check(hUser != nullptr, "EXUserCreate", st);
        EXUserRelease(hUser, &st);
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(user.hName));
        QNGlobalFree(reinterpret_cast<QNHGLOBAL>(user.hPassword));
    }
    EX_ITEMINFO folder = Bookmark("shared");
    folder.type = 4;
    ITEM_OBJECT* hFolder = EXItemNew(&st, &folder);
    EXItemObjectSetFolder(hFolder);
    EXItemCreate(hbrd, EXBoardGetRootFolder(hbrd), hFolder, &st);
    Check(st == EXSM_SUCCESS, "EXItemCreate of the folder", st);
    s.dwFolder = EXItemGetID(hFolder);
    for (int i = 0; i < kItems; ++i) {
        EX_ITEMINFO item = Bookmark("item " + std::to_string(i));
        ITEM_OBJECT* h = EXItemNew(&st, &item);
        EXItemCreate(hbrd, hFolder, h, &st);
        Check(st == EXSM_SUCCESS, "EXItemCreate", st);
        s.items.push_back(EXItemGetID(h));
        EXItemRelease(h, &st);
    }
    EXItemRelease(hFolder, &st);
    EXBoardClose(hbrd, &st);
    return s;
}

// One worker: the mix until the time is up; writes each call's time (microseconds) to fd.
int Work(const Setup& s, int nWorker, int fdStart, int fdOut) {
    EXSM_STATUS st;
    const std::string strUser = "worker" + std::to_string(nWorker);
    BOARD_OBJECT* hbrd = EXBoardOpen(s.strPath.c_str(), strUser.c_str(), "pw", EX_OPEN_SHARED, 0, 0,
                                     0, nullptr, &st);
    if (hbrd == nullptr)
        return 3;
    ITEM_OBJECT* hFolder = EXItemFindByID(hbrd, s.dwFolder, nullptr, 0, &st);
    if (hFolder == nullptr)
        return 4;
    char c;
    if (read(fdStart, &c, 1) != 1)
        return 5;
    std::mt19937 rng(unsigned(nWorker) * 7919u + 1);
    std::vector<uint32_t> times;
    times.reserve(100000);
    int nFailed = 0;
    uint32_t nMade = 0;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(kSeconds);
    for (;;) {
        const auto t0 = std::chrono::steady_clock::now();
        if (t0 >= tEnd)
            break;
        const unsigned nKind = rng() % 10;
        const uint32_t dwItem = s.items[rng() % s.items.size()];
        if (nKind < 4) {
            ITEM_OBJECT* h = EXItemFindByID(hbrd, dwItem, nullptr, 0, &st);
            nFailed += h == nullptr;
            if (h != nullptr)
                EXItemRelease(h, &st);
        } else if (nKind < 7) {
            EX_ITEMINFO info =
                Bookmark("made " + std::to_string(nWorker) + " " + std::to_string(nMade++));
            ITEM_OBJECT* h = EXItemNew(&st, &info);
            EXItemCreate(hbrd, hFolder, h, &st);
            nFailed += st != EXSM_SUCCESS;
            EXItemRelease(h, &st);
        } else if (nKind < 9) {
            ITEM_OBJECT* h = EXItemFindByID(hbrd, dwItem, nullptr, 0, &st);
            if (h != nullptr) {
                const std::string strName =
                    "renamed " + std::to_string(nWorker) + " " + std::to_string(rng() % 1000);
                EXItemObjectSetItemName(h, strName.c_str());
                EXItemSetInfo(h, 0, &st);
                // Another process renamed it first: the caller refreshes and tries again.
                if (st == EXSM_ITEM_HAS_CHANGED) {
                    EXItemRefresh(h, &st);
                    EXItemObjectSetItemName(h, strName.c_str());
                    EXItemSetInfo(h, 0, &st);
                }
                nFailed += st != EXSM_SUCCESS && st != EXSM_ITEM_HAS_CHANGED;
                EXItemRelease(h, &st);
            }
        } else {
            EXBoardRefresh(hbrd, &st);
            nFailed += st != EXSM_SUCCESS;
        }
        times.push_back(uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - t0)
                                     .count()));
    }
    EXItemRelease(hFolder, &st);
    EXBoardClose(hbrd, &st);
    const size_t cb = times.size() * sizeof(uint32_t);
    const uint32_t cTimes = uint32_t(times.size());
    if (write(fdOut, &cTimes, sizeof cTimes) != sizeof cTimes ||
        write(fdOut, times.data(), cb) != ssize_t(cb))
        return 6;
    return nFailed == 0 ? 0 : 7;
}

struct Figures {
    double dCallsPerSecond = 0;
    double dP99Ms = 0;
    double dMaxMs = 0;
};

Figures Run(const Setup& s, int nProcesses) {
    int afdStart[2];
    Check(pipe(afdStart) == 0, "pipe");
    std::vector<pid_t> children;
    std::vector<int> outputs;
    for (int i = 0; i < nProcesses; ++i) {
        int afdOut[2];
        Check(pipe(afdOut) == 0, "pipe");
        const pid_t pid = fork();
        if (pid == 0) {
            close(afdStart[1]);
            close(afdOut[0]);
            _exit(Work(s, i, afdStart[0], afdOut[1]));
        }
        close(afdOut[1]);
        children.push_back(pid);
        outputs.push_back(afdOut[0]);
    }
    close(afdStart[0]);
    usleep(300000);  // every worker has opened the catalog
    const std::string strGo(size_t(nProcesses), 'g');
    Check(write(afdStart[1], strGo.data(), strGo.size()) == ssize_t(strGo.size()), "start");
    close(afdStart[1]);
    std::vector<uint32_t> all;
    for (int fd : outputs) {
        uint32_t c = 0;
        if (read(fd, &c, sizeof c) == sizeof c) {
            std::vector<uint32_t> times(c);
            size_t got = 0;
            auto* pb = reinterpret_cast<char*>(times.data());
            while (got < c * sizeof(uint32_t)) {
                const ssize_t n = read(fd, pb + got, c * sizeof(uint32_t) - got);
                if (n <= 0)
                    break;
                got += size_t(n);
            }
            all.insert(all.end(), times.begin(), times.end());
        }
        close(fd);
    }
    for (pid_t pid : children) {
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
            std::fprintf(stderr, "worker ended with %d\n",
                         WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -WTERMSIG(nStatus));
    }
    Figures f;
    if (all.empty())
        return f;
    std::sort(all.begin(), all.end());
    f.dCallsPerSecond = double(all.size()) / kSeconds;
    f.dP99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1000.0;
    f.dMaxMs = all.back() / 1000.0;
    return f;
}

}  // namespace

int main() {
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    const Setup s = MakeCatalog(dir.file("contention.vfc"));
    const Figures one = Run(s, 1);
    const Figures eight = Run(s, kProcesses);
    std::printf("1 process:   %8.0f calls/s, p99 %7.2f ms, longest %7.2f ms\n", one.dCallsPerSecond,
                one.dP99Ms, one.dMaxMs);
    std::printf("%d processes: %8.0f calls/s, p99 %7.2f ms, longest %7.2f ms\n", kProcesses,
                eight.dCallsPerSecond, eight.dP99Ms, eight.dMaxMs);
    if (one.dCallsPerSecond > 0)
        std::printf("ratio: %d-process throughput / 1-process throughput = %.2f\n", kProcesses,
                    eight.dCallsPerSecond / one.dCallsPerSecond);
    return 0;
}
