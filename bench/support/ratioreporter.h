// The console reporter of the benchmark programs, which also keeps what each benchmark measured
// so that main can print our figures beside the peer's as a ratio.
//
//   qn::bench::RatioReporter reporter;
//   benchmark::RunSpecifiedBenchmarks(&reporter);
//   double tOurs = reporter.RealTime("BM_Ours"), tPeer = reporter.RealTime("BM_Peer");
//   if (tOurs > 0 && tPeer > 0) printf("ratio: ... %.2f\n", tPeer / tOurs);
//
// A benchmark is found by its full name ("BM_Walk/min_time:2.000/real_time") or, failing that,
// by the first name that starts with the given text ("BM_Walk"). A benchmark run with
// repetitions is represented by the median of its repetitions; runs that ended in an error are
// left out. A benchmark that did not run (filtered out, or failed) gives 0.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace qn::bench {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // The context the library prints, and the build type the figures come from: only an
    // optimised build's figures say anything about speed.
    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;

    // Wall-clock and CPU time per iteration, in the benchmark's own time unit.
    double RealTime(const std::string& strName) const;
    double CpuTime(const std::string& strName) const;
    // A counter of the benchmark ("bytes_per_second", "items_per_second", or a user counter).
    double Counter(const std::string& strName, const std::string& strCounter) const;

  private:
    struct Figures {
        double dRealTime = 0;
        double dCpuTime = 0;
        std::map<std::string, double> counters;
        bool fMedian = false;  // taken from the median of repetitions
    };
    const Figures* Find(const std::string& strName) const;

    std::map<std::string, Figures> m_figures;  // by benchmark name without the aggregate suffix
};

}  // namespace qn::bench
