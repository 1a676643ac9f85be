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
#include "ratioreporter.h"
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

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    qn::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double tTrace = reporter.RealTime("BM_TraceLinesWritten");
    double tPeer = reporter.RealTime("BM_PeerPlainWriteLines");
    double tFiltered = reporter.RealTime("BM_TraceFilteredOut");
    if (tTrace > 0 && tPeer > 0) {
        printf(
            "ratio: a written trace line costs %.2fx a plain write(2) of the same bytes "
            "(lines per second: %.2f of the peer's)\n",
            tTrace / tPeer, tPeer / tTrace);
    }
    if (tFiltered > 0 && tPeer > 0) {
        printf("ratio: a filtered-out trace call costs %.4fx a plain write(2) of one line\n",
               tFiltered / tPeer);
    }
    return 0;
}
