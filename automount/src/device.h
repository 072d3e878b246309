// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace orva::automount {

// A block device as the kernel and udev know it.
struct Device
{
    std::string node; // /dev/sdb1
    dev_t devnum{};
    std::string kernelName; // sdb1
    // Where it hangs: "usb" or "mmc" from the nearest of the device's
    // parents in sysfs that is on either (an SD card in a reader on USB is
    // "mmc"), else empty (a loop device).
    std::string bus;
    bool usbMassStorage{}; // under a usb-storage or uas interface
    std::string mmcType;   // SD, MMC (eMMC), SDIO: the card's type
    bool readOnly{};       // the kernel's word: write-protected
    // udev's ORVA_AUTOMOUNT_EMMC, set by a rule of the integrator's: 1
    // allows an eMMC.
    std::string emmcMark;
    // The whole disk the device belongs to, and every device of it (the
    // disk and each partition).
    std::string diskNode;
    std::vector<dev_t> diskDevices;
    // What udev's blkid builtin found, when udev has processed the device.
    bool udevInitialized{};
    std::string udevFsType;
    std::string udevLabelEncoded;
};

// The block device named by ARGUMENT (a node or a link to one). Throws
// Failure when it is none.
Device inspectDevice(const std::string &argument);

// What sysfs says of the device whose directory there is SYS_PATH (every
// link resolved): its kernel name, whether it is write-protected, its bus
// from its parents, its disk and the disk's devices.
void readSysfs(const std::string &sysPath, Device &device);

// The kernel name of ARGUMENT: the device's when its node is there, else
// the node's file name (remove, once the device has gone).
std::string kernelNameOf(const std::string &argument);

struct FileSystem
{
    std::string type;
    std::string label; // the bytes on the device
};

// The file system on DEVICE: udev's, when udev has probed it (the unit's
// case: no second probe), else libblkid's, from the device itself. Throws
// Failure when there is none, or more than one.
FileSystem probeFileSystem(const Device &device);

} // namespace orva::automount
