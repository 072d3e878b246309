// SPDX-License-Identifier: MIT
#include "device.h"

#include "failure.h"
#include "label.h"

#include <blkid.h>
#include <libudev.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace orva::automount {

namespace {

struct UdevFree
{
    void operator()(udev *context) const { udev_unref(context); }
    void operator()(udev_device *device) const { udev_device_unref(device); }
    void operator()(udev_enumerate *enumerate) const { udev_enumerate_unref(enumerate); }
};
using Udev = std::unique_ptr<udev, UdevFree>;
using UdevDevice = std::unique_ptr<udev_device, UdevFree>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevFree>;

std::string text(const char *value)
{
    return value ? value : "";
}

std::optional<dev_t> blockDeviceNumber(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode))
        return std::nullopt;
    return info.st_rdev;
}

std::string baseName(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The bus, and what sort of device on it, from the device's parents.
void readParents(udev_device *device, Device &result)
{
    for (udev_device *parent = udev_device_get_parent(device); parent;
         parent = udev_device_get_parent(parent)) {
        const std::string subsystem = text(udev_device_get_subsystem(parent));
        if (subsystem == "mmc" && result.bus.empty()) {
            result.bus = "mmc";
            result.mmcType = text(udev_device_get_sysattr_value(parent, "type"));
        } else if (subsystem == "usb") {
            result.bus = "usb";
            const std::string driver = text(udev_device_get_driver(parent));
            if (text(udev_device_get_devtype(parent)) == "usb_interface" &&
                (driver == "usb-storage" || driver == "uas"))
                result.usbMassStorage = true;
        }
    }
}

void readDisk(udev *context, udev_device *device, Device &result)
{
    udev_device *disk = device;
    if (text(udev_device_get_devtype(device)) == "partition")
        disk = udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
    if (!disk)
        return;
    result.diskNode = text(udev_device_get_devnode(disk));
    result.diskDevices.push_back(udev_device_get_devnum(disk));
    UdevEnumerate children(udev_enumerate_new(context));
    if (!children || udev_enumerate_add_match_parent(children.get(), disk) < 0 ||
        udev_enumerate_add_match_subsystem(children.get(), "block") < 0 ||
        udev_enumerate_scan_devices(children.get()) < 0)
        return;
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(children.get()))
    {
        UdevDevice child(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (child && udev_device_get_devnum(child.get()) != 0)
            result.diskDevices.push_back(udev_device_get_devnum(child.get()));
    }
}

} // namespace

Device inspectDevice(const std::string &argument)
{
    std::unique_ptr<char, decltype(&std::free)> real(realpath(argument.c_str(), nullptr),
                                                     &std::free);
    const std::optional<dev_t> devnum =
        real ? blockDeviceNumber(real.get()) : std::optional<dev_t>();
    if (!devnum)
        throw Failure(printable(argument) + " is not a block device");
    Device result;
    result.node = real.get();
    result.devnum = *devnum;
    Udev context(udev_new());
    UdevDevice device(context ? udev_device_new_from_devnum(context.get(), 'b', *devnum) : nullptr);
    if (!device)
        throw Failure("cannot read the device number of " + printable(result.node));
    result.kernelName = text(udev_device_get_sysname(device.get()));
    result.readOnly = text(udev_device_get_sysattr_value(device.get(), "ro")) == "1";
    readParents(device.get(), result);
    readDisk(context.get(), device.get(), result);
    result.udevInitialized = udev_device_get_is_initialized(device.get()) > 0;
    if (result.udevInitialized) {
        const auto property = [&](const char *key) {
            return text(udev_device_get_property_value(device.get(), key));
        };
        result.udevFsType = property("ID_FS_TYPE");
        result.udevLabelEncoded = property("ID_FS_LABEL_ENC");
        result.emmcAllowed = property("ORVA_AUTOMOUNT_EMMC") == "1";
    }
    return result;
}

std::string kernelNameOf(const std::string &argument)
{
    if (const std::optional<dev_t> devnum = blockDeviceNumber(argument)) {
        Udev context(udev_new());
        UdevDevice device(context ? udev_device_new_from_devnum(context.get(), 'b', *devnum)
                                  : nullptr);
        if (device && udev_device_get_sysname(device.get()))
            return udev_device_get_sysname(device.get());
    }
    return baseName(argument);
}

namespace {

struct ProbeFree
{
    void operator()(blkid_struct_probe *probe) const { blkid_free_probe(probe); }
};

std::string probeValue(blkid_probe probe, const char *name)
{
    const char *data = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || !data)
        return {};
    return std::string(data, strnlen(data, length));
}

} // namespace

FileSystem probeFileSystem(const Device &device)
{
    if (device.udevInitialized && !device.udevFsType.empty())
        return FileSystem{device.udevFsType, decodeLabel(device.udevLabelEncoded)};
    std::unique_ptr<blkid_struct_probe, ProbeFree> probe(
        blkid_new_probe_from_filename(device.node.c_str()));
    if (!probe)
        throw Failure("cannot probe " + printable(device.node) + " with blkid");
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    switch (blkid_do_safeprobe(probe.get())) {
    case 0:
        break;
    case 1:
        throw Failure("no file system found on " + printable(device.node));
    case -2:
        throw Failure(printable(device.node) +
                      " carries signatures of more than one file system; not mounting it");
    default:
        throw Failure("cannot probe " + printable(device.node) + " with blkid");
    }
    FileSystem found{probeValue(probe.get(), "TYPE"), probeValue(probe.get(), "LABEL")};
    if (found.type.empty())
        throw Failure("no file system found on " + printable(device.node));
    return found;
}

} // namespace orva::automount
