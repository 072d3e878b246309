// SPDX-License-Identifier: MIT
// The rescan benchmarks, registered with Google Benchmark under the names
// "<kind>/<entries>" that the summary reads back.
#pragma once

#include <QString>
#include <vector>

namespace rescanbench {

// Kinds: the floor (bare listing) with and without label files beside the
// entries, the listing plus the failed label look-up that every matching
// entry costs when it has no label file, and the rescans that find nothing changed, every entry new
// (with and without label files) and every entry gone.
extern const char *const kFloor;
extern const char *const kFloorNoLabels;
extern const char *const kFloorLookup;
extern const char *const kNoChange;
extern const char *const kAllNew;
extern const char *const kAllNewNoLabels;
extern const char *const kAllGone;

// With repetitions > 1 each figure is the median of that many runs, which holds
// up better while other work loads the machine. largeSizes get the floor and
// the rescan that finds every entry gone only.
void registerAll(const std::vector<int> &sizes, const std::vector<int> &largeSizes,
                 double minTimeSeconds, int repetitions);

} // namespace rescanbench
