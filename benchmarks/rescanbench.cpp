// SPDX-License-Identifier: MIT
#include "rescanbench.h"

#include "entrytree.h"
#include "rescandriver.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>

#include <ctime>
#include <map>
#include <memory>

namespace rescanbench {

const char *const kFloor = "floor";
const char *const kFloorNoLabels = "floor-nolabels";
const char *const kFloorLookup = "floor-lookup";
const char *const kNoChange = "nochange";
const char *const kAllNew = "allnew";
const char *const kAllNewNoLabels = "allnew-nolabels";
const char *const kAllGone = "allgone";

namespace {

// Trees are made once per size and kept for the whole run.
const EntryTree &tree(int count, bool labels)
{
    static std::map<std::pair<int, bool>, std::unique_ptr<EntryTree>> trees;
    auto &slot = trees[{count, labels}];
    if (!slot)
        slot = std::make_unique<EntryTree>(count, labels);
    return *slot;
}

double threadSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// CPU time of this thread, as Google Benchmark takes it for the other kinds:
// figures then hold up while other processes load the machine.
template <typename F> double timed(F &&work)
{
    const double start = threadSeconds();
    work();
    return threadSeconds() - start;
}

// The listing exactly as the rescan makes it.
QFileInfoList listing(const QString &path)
{
    QDir directory(path);
    directory.setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    directory.setSorting(QDir::Name);
    return directory.entryInfoList();
}

void floorListing(benchmark::State &state, int count, bool labels)
{
    const QString path = tree(count, labels).path();
    for (auto _ : state)
        benchmark::DoNotOptimize(listing(path));
}

// The listing, and a look for the label file of each matching entry.
void floorLookup(benchmark::State &state, int count)
{
    const QString path = tree(count, false).path();
    for (auto _ : state) {
        for (const QFileInfo &info : listing(path)) {
            const QString name = info.fileName();
            if (name.startsWith(QLatin1String("usb-")))
                benchmark::DoNotOptimize(
                    QFile::exists(path + QLatin1Char('/') + name + QLatin1String(".label")));
        }
    }
}

void noChange(benchmark::State &state, int count)
{
    const QString path = tree(count, true).path();
    RescanDriver driver(path); // the first scan, in the constructor, links everything
    for (auto _ : state)
        driver.rescan(path);
}

// Worker watching an empty directory, swung between it and a full one: the
// rescan of the full one finds every entry new, that of the empty one every
// link gone. Only the rescan named is timed.
void allNew(benchmark::State &state, int count, bool labels)
{
    const QString empty = tree(0, false).path();
    const QString full = tree(count, labels).path();
    RescanDriver driver(empty);
    for (auto _ : state) {
        state.SetIterationTime(timed([&] { driver.rescan(full); }));
        driver.rescan(empty);
    }
}

// Out of line and named, so that callgrind can count the instructions of
// this rescan alone: --toggle-collect='*rescanEmptied*'.
[[gnu::noinline]] void rescanEmptied(RescanDriver &driver, const QString &empty)
{
    driver.rescan(empty);
}

void allGone(benchmark::State &state, int count)
{
    const QString empty = tree(0, false).path();
    const QString full = tree(count, true).path();
    RescanDriver driver(empty);
    for (auto _ : state) {
        driver.rescan(full);
        state.SetIterationTime(timed([&] { rescanEmptied(driver, empty); }));
    }
}

std::string nameOf(const char *kind, int count)
{
    return kind + ("/" + std::to_string(count));
}

} // namespace

void registerAll(const std::vector<int> &sizes, const std::vector<int> &largeSizes,
                 double minTimeSeconds, int repetitions)
{
    const auto adder = [&](int n) {
        return [=](const char *kind, auto &&fn) {
            return benchmark::RegisterBenchmark(nameOf(kind, n).c_str(), fn)
                ->Unit(benchmark::kMicrosecond)
                ->MinTime(minTimeSeconds)
                ->Repetitions(repetitions)
                ->ReportAggregatesOnly(repetitions > 1);
        };
    };
    for (int n : sizes) {
        const auto add = adder(n);
        add(kFloor, [n](benchmark::State &s) { floorListing(s, n, true); });
        add(kFloorNoLabels, [n](benchmark::State &s) { floorListing(s, n, false); });
        add(kFloorLookup, [n](benchmark::State &s) { floorLookup(s, n); });
        add(kNoChange, [n](benchmark::State &s) { noChange(s, n); });
        add(kAllNew, [n](benchmark::State &s) { allNew(s, n, true); })->UseManualTime();
        add(kAllNewNoLabels, [n](benchmark::State &s) { allNew(s, n, false); })->UseManualTime();
        add(kAllGone, [n](benchmark::State &s) { allGone(s, n); })->UseManualTime();
    }
    // Removal is what a writer can make costly at will (unmount, rename the
    // directory away), so it is measured beyond the other kinds.
    for (int n : largeSizes) {
        const auto add = adder(n);
        add(kFloor, [n](benchmark::State &s) { floorListing(s, n, true); });
        add(kAllGone, [n](benchmark::State &s) { allGone(s, n); })->UseManualTime();
    }
}

} // namespace rescanbench
