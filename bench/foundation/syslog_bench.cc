// The cost of the system log beside its peer: a trace whose category is filtered out, and the
// rate of written trace lines beside plain write(2) calls of the same bytes to the same kind of
// file (an O_APPEND file in the same folder). Run with scripts/bench; compare the two
// "Lines" benchmarks as a ratio.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/prefs.h"
#include "foundation/syslog.h"
#include "testsupport.h"

namespace {

// One environment for the whole program: a log with category 0x200 traced.
struct Environment {
    Environment() {
        strLog = env.file("bench.log");
        QNPrefSetString("SystemLog", "TracingFilter", "0x200", "QNCLIENT.INI");
        QNPrefSetString("SystemLog", "LogFilename", strLog.c_str(), "QNCLIENT.INI");
        QNSysLogAttach();
    }
    qn::test::IsolatedEnvironment env;
    std::string strLog;
};

Environment& Env() {
    static Environment* pEnv = new Environment;
    return *pEnv;
}

const char kLine[] = "TIMER: Start ItemWrite                  item 0000123456 in folder 42\r\n";

void BM_TraceFilteredOut(benchmark::State& state) {
    Env();
    for (auto _ : state) {
        QNTrace(0x1000, "filtered %d %s\r\n", 42, "never formatted");
    }
}
BENCHMARK(BM_TraceFilteredOut);

void BM_TraceLinesWritten(benchmark::State& state) {
    Env();
    for (auto _ : state) {
        QNTrace(0x200, "%s", kLine);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (sizeof kLine - 1));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLinesWritten);

void BM_PeerPlainWriteLines(benchmark::State& state) {
    std::string strPath = Env().env.file("peer.log");
    int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    for (auto _ : state) {
        if (write(fd, kLine, sizeof kLine - 1) < 0)
            state.SkipWithError("write failed");
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (sizeof kLine - 1));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PeerPlainWriteLines);

}  // namespace

BENCHMARK_MAIN();
