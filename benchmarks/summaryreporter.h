// SPDX-License-Identifier: MIT
// Passes runs on to the console and keeps each one's time per iteration, so
// that the summary can set every rescan beside its floor.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

class SummaryReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override;

    // Microseconds per iteration of kind at count entries; 0 when not run.
    double micros(const std::string &kind, int count) const;
    // Rescans against their floors, growth exponents between successive sizes
    // from 1000 up.
    void printSummary(std::ostream &out, const std::vector<int> &sizes) const;
    // entries, then microseconds of each kind, one line per size.
    void writeCsv(std::ostream &out, const std::vector<int> &sizes) const;

private:
    std::map<std::string, double> m_micros;
};
