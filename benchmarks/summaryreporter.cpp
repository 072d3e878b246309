// SPDX-License-Identifier: MIT
#include "summaryreporter.h"

#include "rescanbench.h"

#include <cmath>
#include <cstdio>

using namespace rescanbench;

namespace {

std::string format(const char *pattern, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

double ratio(double value, double floor)
{
    return floor > 0 ? value / floor : 0;
}

// t ~ n^k between two sizes.
double growth(double t1, double t2, int n1, int n2)
{
    return t1 > 0 && t2 > 0 ? std::log(t2 / t1) / std::log(double(n2) / n1) : 0;
}

const char *const kKinds[] = {kFloor,  kFloorNoLabels,  kFloorLookup, kNoChange,
                              kAllNew, kAllNewNoLabels, kAllGone};

// A figure and its ratio to the floor, or a dash for a kind not run at a size.
std::string cell(const char *pattern, double value, double a, double b = 0)
{
    if (value <= 0) {
        const int width = std::snprintf(nullptr, 0, pattern, value, a, b);
        return std::string(size_t(width > 1 ? width - 1 : 0), ' ') + "-";
    }
    return format(pattern, value, a, b);
}

void printGrowth(std::ostream &out, const SummaryReporter &reporter, int n1, int n2)
{
    out << "Growth exponent k (t ~ n^k) from " << n1 << " to " << n2 << " entries:";
    for (const char *kind : kKinds) {
        const double t1 = reporter.micros(kind, n1), t2 = reporter.micros(kind, n2);
        if (t1 > 0 && t2 > 0)
            out << " " << kind << format(" %.2f", growth(t1, t2, n1, n2));
    }
    out << "\n";
}

} // namespace

void SummaryReporter::ReportRuns(const std::vector<Run> &runs)
{
    // With repetitions the median stands for the run; without, the one run.
    for (const Run &run : runs) {
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median))
            continue;
        if (run.run_type == Run::RT_Iteration && run.repetitions > 1)
            continue;
        m_micros[run.run_name.function_name] = run.run_name.time_type == "manual_time"
                                                   ? run.GetAdjustedRealTime()
                                                   : run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
}

double SummaryReporter::micros(const std::string &kind, int count) const
{
    const auto it = m_micros.find(kind + "/" + std::to_string(count));
    return it == m_micros.end() ? 0 : it->second;
}

void SummaryReporter::printSummary(std::ostream &out, const std::vector<int> &sizes) const
{
    out << "\nRescan cost, microseconds of CPU time per rescan (x = ratio to the floor: the\n"
           "bare listing of the same directory with the same filter and sorting)\n";
    out << "  entries      floor    no-change            all-new  labels  "
           "all-new w/o label files           all-gone\n";
    for (int n : sizes) {
        const double floor = micros(kFloor, n), floorPlain = micros(kFloorNoLabels, n);
        const double lookup = micros(kFloorLookup, n);
        const double same = micros(kNoChange, n), fresh = micros(kAllNew, n);
        const double plain = micros(kAllNewNoLabels, n), gone = micros(kAllGone, n);
        out << format("  %7.0f", n) << cell(" %10.1f", floor, 0)
            << cell(" %9.1f (%4.2fx)", same, ratio(same, floor))
            << cell(" %10.1f (%4.2fx)", fresh, ratio(fresh, floor))
            << cell("  %5.0f%%", fresh > 0 ? 100 * (fresh - plain) / fresh : 0, 0)
            << cell(" %10.1f (%4.2fx, %4.2fx)", plain, ratio(plain, floorPlain),
                    ratio(plain, lookup))
            << cell(" %10.1f (%5.2fx)", gone, ratio(gone, floor)) << "\n";
    }
    out << "  labels: the part of the all-new cost that the label files take (a third of the\n"
           "  entries have one). all-new w/o label files: the same names without label files,\n"
           "  against the listing of that directory and against the listing plus the look-up\n"
           "  for each matching entry's label file that a rescan must make. all-gone: against\n"
           "  the listing of the directory that held the entries.\n";
    for (size_t i = 1; i < sizes.size(); ++i)
        if (sizes[i - 1] >= 1000)
            printGrowth(out, *this, sizes[i - 1], sizes[i]);
    for (int n : sizes) {
        const double gone = micros(kAllGone, n);
        if (n >= 10000 && gone > 0)
            out << format("All-gone at %.0f entries: %.1f ms, %.2f us per removed link\n", n,
                          gone / 1000, gone / (n / 2));
    }
}

void SummaryReporter::writeCsv(std::ostream &out, const std::vector<int> &sizes) const
{
    out << "entries";
    for (const char *kind : kKinds)
        out << "," << kind;
    out << "\n";
    for (int n : sizes) {
        out << n;
        for (const char *kind : kKinds) {
            // Empty where a kind was not run at this size.
            const double value = micros(kind, n);
            out << ",";
            if (value > 0)
                out << value;
        }
        out << "\n";
    }
}
