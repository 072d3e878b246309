// SPDX-License-Identifier: MIT
#pragma once

#include "config.h"
#include "device.h"
#include "mounttable.h"

#include <string>

namespace orva::automount {

// Which devices are mounted without being named by hand: removable media
// only. USB mass storage gets PREFIX_USB and an SD card in an SD slot
// PREFIX_MMC; an eMMC soldered to the board (type MMC) only where udev
// marks it with ORVA_AUTOMOUNT_EMMC=1. Throws Failure for anything else.
std::string entryPrefix(const Device &device, const Config &config);

// Never a second view of a mounted file system, and nothing of a disk that
// has a file system mounted anywhere but below STAGING (the board's own
// boot card). Throws Failure saying where it is mounted.
void checkNotMountedElsewhere(const Device &device, const MountTable &table,
                              const std::string &staging);

} // namespace orva::automount
