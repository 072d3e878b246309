// SPDX-License-Identifier: MIT
#include "policy.h"

#include "failure.h"
#include "names.h"

namespace orva::automount {

std::string entryPrefix(const Device &device, const Config &config)
{
    const std::string node = printable(device.node);
    if (device.bus == "usb") {
        if (!device.usbMassStorage)
            throw Refusal(node + " is on USB but no mass storage device; not mounting it");
        return config.prefixUsb;
    }
    if (device.bus == "mmc") {
        if (device.mmcType == "SD" || (device.mmcType == "MMC" && device.emmcMark == "1"))
            return config.prefixMmc;
        if (device.mmcType == "MMC")
            throw Refusal(node + " is eMMC (type MMC), which is mounted only where udev sets "
                                 "ORVA_AUTOMOUNT_EMMC=1 for it");
        throw Refusal(node + " is an mmc device of type '" + printable(device.mmcType) +
                      "', not an SD card; not mounting it");
    }
    throw Refusal(node + " is on neither USB nor SD/MMC: give --prefix");
}

void checkNotMountedElsewhere(const Device &device, const MountTable &table,
                              const std::string &staging)
{
    const std::string below = staging + "/";
    for (const MountEntry &mount : table.of(device.devnum, device.node)) {
        if (!startsWith(mount.target, below))
            throw Refusal(printable(device.node) + " is already mounted on " +
                          printable(mount.target) + "; not mounting it again");
    }
    for (dev_t sibling : device.diskDevices) {
        for (const MountEntry &mount : table.of(sibling, {})) {
            if (!startsWith(mount.target, below))
                throw Refusal(printable(device.node) + " is on the disk " +
                              printable(device.diskNode) +
                              ", which holds a file system mounted on " + printable(mount.target) +
                              "; not mounting anything of it");
        }
    }
}

} // namespace orva::automount
