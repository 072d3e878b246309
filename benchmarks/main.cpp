// SPDX-License-Identifier: MIT
// orva-bench: prints rescan cost against the listing floor, reaction time
// against raw inotify delivery, and heap per live link.
//   orva-bench [Google Benchmark flags] [--csv=FILE] [--trials=N] [--min-time=S]
//              [--repetitions=N] [--large-sizes=N,N,...]
// --large-sizes: the entry counts beyond 10 000 at which the floor and the
// every-entry-gone rescan are measured (100000 by default).
#include "entrytree.h"
#include "heapprobe.h"
#include "reactionprobe.h"
#include "rescanbench.h"
#include "rescandriver.h"
#include "summaryreporter.h"

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Options
{
    std::string csv;
    int trials = 300;
    double minTime = 0.2;
    int repetitions = 3;
    std::vector<int> largeSizes{100000};
};

std::vector<int> parseSizes(const std::string &text)
{
    std::vector<int> sizes;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        if (end > start)
            sizes.push_back(std::stoi(text.substr(start, end - start)));
        start = end + 1;
    }
    return sizes;
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--csv=", 0) == 0)
            options.csv = arg.substr(6);
        else if (arg.rfind("--trials=", 0) == 0)
            options.trials = std::stoi(arg.substr(9));
        else if (arg.rfind("--min-time=", 0) == 0)
            options.minTime = std::stod(arg.substr(11));
        else if (arg.rfind("--repetitions=", 0) == 0)
            options.repetitions = std::stoi(arg.substr(14));
        else if (arg.rfind("--large-sizes=", 0) == 0)
            options.largeSizes = parseSizes(arg.substr(14));
    }
    return options;
}

void printReaction(int trials, int entries)
{
    const EntryTree watched(entries, true);
    ReactionProbe probe(watched.path());
    const Latencies l = probe.run(trials, 20);
    std::vector<double> extra;
    for (size_t i = 0; i < l.rowMicros.size(); ++i)
        extra.push_back(l.rowMicros[i] - l.rawMicros[i]);
    const double rawMedian = percentile(l.rawMicros, 0.5), rowMedian = percentile(l.rowMicros, 0.5);
    const double rawP99 = percentile(l.rawMicros, 0.99), rowP99 = percentile(l.rowMicros, 0.99);
    std::printf("\nReaction time, mkdir of a matching subdirectory to its row in the host's rows"
                " answer\n(%zu trials, %d entries in the watched directory)\n",
                l.rowMicros.size(), entries);
    std::printf("  raw inotify delivery: median %8.1f us  p99 %8.1f us\n", rawMedian, rawP99);
    std::printf("  row visible:          median %8.1f us  p99 %8.1f us\n", rowMedian, rowP99);
    std::printf("  ratio row/raw: median %.2fx  p99 %.2fx; added per trial: median %.1f us"
                "  p99 %.1f us\n",
                rawMedian > 0 ? rowMedian / rawMedian : 0, rawP99 > 0 ? rowP99 / rawP99 : 0,
                percentile(extra, 0.5), percentile(extra, 0.99));
}

void printHeap()
{
    const HeapFigures h = HeapProbe::measure(10000);
    std::printf("\nHeap, worker and host stand-in together (glibc mallinfo2, bytes in use)\n");
    std::printf("  worker with no link: %zu bytes; with %d links: %zu bytes\n", h.idleBytes,
                h.links, h.loadedBytes);
    std::printf("  per live link: %.0f bytes\n", h.bytesPerLink());

    // A label is read up to its bound whatever the file holds, so a large
    // file shared by many labels costs each link that bound at most.
    const int links = 1000;
    const HeapFigures plain = HeapProbe::measure(links, QByteArray());
    const HeapFigures shared = HeapProbe::measure(links, QByteArray(1 << 20, 'a') + '\n');
    std::printf("  %d links without labels: %.0f bytes per link; with labels that link to one"
                " 1 MiB one-line file: %.0f bytes per link (%.0f more)\n",
                links, plain.bytesPerLink(), shared.bytesPerLink(),
                shared.bytesPerLink() - plain.bytesPerLink());
}

} // namespace

int main(int argc, char **argv)
{
    log4cplus::Initializer logging;
    benchmark::Initialize(&argc, argv);
    const Options options = parseOptions(argc, argv);
    QCoreApplication app(argc, argv);
    RescanDriver::silenceLogger();

    const std::vector<int> sizes{10, 100, 1000, 10000};
    const std::vector<int> &largeSizes = options.largeSizes;
    rescanbench::registerAll(sizes, largeSizes, options.minTime, options.repetitions);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::vector<int> allSizes = sizes;
    allSizes.insert(allSizes.end(), largeSizes.begin(), largeSizes.end());
    reporter.printSummary(std::cout, allSizes);
    if (!options.csv.empty()) {
        std::ofstream csv(options.csv);
        reporter.writeCsv(csv, allSizes);
    }
    std::cout.flush();

    // Every change costs one full rescan, so the time added grows with the
    // directory: a small one, then one of a thousand entries.
    printReaction(options.trials, 10);
    printReaction(options.trials, 1000);
    printHeap();
    benchmark::Shutdown();
    return 0;
}
