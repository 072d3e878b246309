// SPDX-License-Identifier: MIT
#include "device.h"

#include "failure.h"
#include "fd.h"
#include "label.h"
#include "names.h"

#include <blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace orva::automount {

namespace {

struct UdevFree
{
    void operator()(udev *context) const { udev_unref(context); }
    void operator()(udev_device *device) const { udev_device_unref(device); }
};
using Udev = std::unique_ptr<udev, UdevFree>;
using UdevDevice = std::unique_ptr<udev_device, UdevFree>;

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

std::string parentOf(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

// The first line of a small file (a sysfs attribute), without its newline.
std::string firstLine(const std::string &path)
{
    const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (file)
        readAll(file.get(), text);
    return text.substr(0, text.find('\n'));
}

// The name a link in sysfs points to ("usb" for .../subsystem).
std::string linkName(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    // -1 too: as a size, it is past any buffer.
    if (static_cast<std::size_t>(length) >= sizeof target)
        return {};
    return baseName(std::string(target, static_cast<std::size_t>(length)));
}

// The device's directory in sysfs, every link resolved: the path of its
// parents.
std::optional<std::string> sysfsPathOf(dev_t devnum)
{
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(devnum)) + ":" + std::to_string(minor(devnum));
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(link.c_str(), nullptr),
                                                           &std::free);
    if (!real)
        return std::nullopt;
    return std::string(real.get());
}

std::optional<dev_t> deviceNumberIn(const std::string &directory)
{
    unsigned major{}, minor{};
    if (std::sscanf(firstLine(directory + "/dev").c_str(), "%u:%u", &major, &minor) != 2)
        return std::nullopt;
    return makedev(major, minor);
}

} // namespace

void readSysfs(const std::string &sysPath, Device &device)
{
    device.kernelName = baseName(sysPath);
    device.readOnly = firstLine(sysPath + "/ro") == "1";
    // The bus, and what sort of device on it, from the nearest parent that
    // is on one: an SD/MMC card, or the USB interface a stick's SCSI host
    // hangs from, whose driver tells mass storage from anything else. What
    // lies above it says nothing of the device: an SD host on USB (a card
    // reader of the kind that is no mass storage device) holds an SD card.
    for (std::string parent = parentOf(sysPath); parent.size() > 1; parent = parentOf(parent)) {
        const std::string subsystem = linkName(parent + "/subsystem");
        if (subsystem == "mmc") {
            device.bus = "mmc";
            device.mmcType = firstLine(parent + "/type");
            break;
        }
        if (subsystem == "usb") {
            device.bus = "usb";
            const std::string driver = linkName(parent + "/driver");
            device.usbMassStorage = driver == "usb-storage" || driver == "uas";
            break;
        }
    }
    // The whole disk, and each device of it: the disk and its partitions,
    // the directories below it that have a "partition" file.
    const bool partition = access((sysPath + "/partition").c_str(), F_OK) == 0;
    const std::string disk = partition ? parentOf(sysPath) : sysPath;
    device.diskNode = "/dev/" + baseName(disk);
    if (const auto number = deviceNumberIn(disk))
        device.diskDevices.push_back(*number);
    struct Closer
    {
        void operator()(DIR *directory) const { closedir(directory); }
    };
    const std::unique_ptr<DIR, Closer> entries(opendir(disk.c_str()));
    // A partition is named after its disk (sda1, mmcblk0p1): the disk's
    // other thirty-odd entries are not even looked at.
    const std::string diskName = baseName(disk);
    while (const dirent *entry = entries ? readdir(entries.get()) : nullptr) {
        const std::string child = disk + "/" + entry->d_name;
        if (entry->d_type != DT_DIR || !startsWith(entry->d_name, diskName) ||
            access((child + "/partition").c_str(), F_OK) != 0)
            continue;
        if (const auto number = deviceNumberIn(child))
            device.diskDevices.push_back(*number);
    }
}

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
    // The kernel's sysfs, read directly: a handful of system calls, where
    // libudev would build a device for each of a dozen parents, resolving
    // each path a component at a time, which was most of an add's time on
    // a slow board.
    const std::optional<std::string> sysPath = sysfsPathOf(*devnum);
    if (!sysPath)
        throw Failure("cannot read the device number of " + printable(result.node));
    readSysfs(*sysPath, result);
    // What udev found, from its database.
    Udev context(udev_new());
    UdevDevice device(context ? udev_device_new_from_devnum(context.get(), 'b', *devnum) : nullptr);
    result.udevInitialized = device && udev_device_get_is_initialized(device.get()) > 0;
    if (result.udevInitialized) {
        const auto property = [&](const char *key) {
            return text(udev_device_get_property_value(device.get(), key));
        };
        result.udevFsType = property("ID_FS_TYPE");
        result.udevLabelEncoded = property("ID_FS_LABEL_ENC");
        result.emmcMark = property("ORVA_AUTOMOUNT_EMMC");
    }
    return result;
}

std::string kernelNameOf(const std::string &argument)
{
    if (const std::optional<dev_t> devnum = blockDeviceNumber(argument)) {
        if (const std::optional<std::string> sysPath = sysfsPathOf(*devnum))
            return baseName(*sysPath);
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
    // Both are strings, ending in a NUL.
    const char *data = nullptr;
    return blkid_probe_lookup_value(probe, name, &data, nullptr) == 0 ? data : "";
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
    // The default: the superblocks chain, with the type and the label.
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
