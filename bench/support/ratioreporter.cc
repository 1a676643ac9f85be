#include "ratioreporter.h"

#include <cstdio>

namespace qn::bench {

bool RatioReporter::ReportContext(const Context& context) {
    const bool fOk = ConsoleReporter::ReportContext(context);
    const char* pszType = QN_BUILD_TYPE;
    std::fprintf(stderr, "Build type: %s\n", *pszType != '\0' ? pszType : "(none)");
    return fOk;
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.error_occurred || run.iterations <= 0)
            continue;
        bool fMedian = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.run_type != Run::RT_Iteration && !fMedian)
            continue;
        Figures& figures = m_figures[run.run_name.str()];
        // Once a median is known, the single repetitions no longer replace it.
        if (figures.fMedian && !fMedian)
            continue;
        figures.dRealTime = run.GetAdjustedRealTime();
        figures.dCpuTime = run.GetAdjustedCPUTime();
        figures.counters.clear();
        for (const auto& [strCounter, counter] : run.counters)
            figures.counters[strCounter] = counter.value;
        figures.fMedian = fMedian;
    }
    ConsoleReporter::ReportRuns(runs);
}

const RatioReporter::Figures* RatioReporter::Find(const std::string& strName) const {
    auto it = m_figures.find(strName);
    if (it != m_figures.end())
        return &it->second;
    for (const auto& [strRunName, figures] : m_figures) {
        if (strRunName.compare(0, strName.size(), strName) == 0)
            return &figures;
    }
    return nullptr;
}

double RatioReporter::RealTime(const std::string& strName) const {
    const Figures* pFigures = Find(strName);
    return pFigures ? pFigures->dRealTime : 0.0;
}

double RatioReporter::CpuTime(const std::string& strName) const {
    const Figures* pFigures = Find(strName);
    return pFigures ? pFigures->dCpuTime : 0.0;
}

double RatioReporter::Counter(const std::string& strName, const std::string& strCounter) const {
    const Figures* pFigures = Find(strName);
    if (pFigures == nullptr)
        return 0.0;
    auto it = pFigures->counters.find(strCounter);
    return it == pFigures->counters.end() ? 0.0 : it->second;
}

}  // namespace qn::bench
