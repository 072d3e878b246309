// SPDX-License-Identifier: MIT
#include "automounter.h"

#include "failure.h"
#include "label.h"
#include "mounter.h"
#include "names.h"
#include "policy.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <unistd.h>

namespace orva::automount {

namespace {

// The staging directories, where devices are mounted before their entries
// link to them. Hidden, so the plug-in never lists it.
constexpr const char *stateName = ".orva-automount";

std::atomic<int> pendingSignal{0};
// An eventfd that a stop signal writes to: the service's loop wakes.
std::atomic<int> stopWake{-1};

// Debian's ntfs-3g, the NTFS driver where the kernel has no ntfs3, parses
// the stick in a process that keeps root's uid and capabilities for the
// whole life of the mount, and offers no way to hand it a mount made for
// it: a crafted stick that takes it over holds root.
constexpr const char *ntfsLeftOut =
    "; NTFS is left out by default: where the kernel has no ntfs3, ntfs-3g reads the stick "
    "as root. Add ntfs to ALLOWED_TYPES in /etc/default/orva-automount to allow it";

// What an entry links to, relative, so that it holds in any mount
// namespace and wherever the watch directory is.
std::string linkTarget(const std::string &entry)
{
    return std::string(stateName) + "/mnt/" + entry;
}

// Where an older version mounted a device first, in the staging directory;
// now it is mounted first in the runtime directory's raw/.
std::string oldRawPlace(const std::string &entry)
{
    return "." + entry;
}

// The ID of the mount that DIRECTORY is on: a mount made on a place in it
// has this as its parent; one stacked on that, by whoever can write the
// device's root, has not.
int mountBelow(const Directory &directory)
{
    const int id = mountIdOf(directory.fd());
    if (id < 0)
        throw Failure("cannot tell which mount " + printable(directory.path()) + " is on");
    return id;
}

// The mount made on NAME in DIRECTORY by this program, below whatever was
// stacked on it.
std::optional<MountEntry> ownMount(const Directory &directory, const std::string &name,
                                   const MountTable &table)
{
    const int below = mountBelow(directory);
    for (const MountEntry &mount : table.on(directory.pathOf(name))) {
        if (mount.parentId == below)
            return mount;
    }
    return std::nullopt;
}

bool isDead(const Directory &mnt, const std::string &name)
{
    struct stat info;
    return fstatat(mnt.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOTCONN;
}

// Set by the service for the add that this thread runs: the device went.
thread_local const std::atomic<bool> *deviceGone = nullptr;

void throwIfStopped()
{
    if (const int signal = pendingSignal.load())
        throw Stopped("stopped by signal " + std::to_string(signal));
    if (deviceGone && deviceGone->load())
        throw Stopped("stopped: the device went while it was being mounted");
}

// The kernel name of the device ARGUMENT names, which may be gone already,
// checked to be fit for the names made from it.
std::string checkedKernelName(const std::string &argument)
{
    const std::string kernelName = kernelNameOf(argument);
    if (!isSafeName(kernelName))
        throw Failure("unexpected kernel name '" + printable(kernelName) + "'");
    return kernelName;
}

// The record LOADED when its add was into WATCH_DIR; one of an add into
// another watch directory is that add's.
const StepRecord *recordInto(const std::optional<StepRecord> &loaded, const std::string &watchDir)
{
    return loaded && loaded->watchDir == watchDir ? &*loaded : nullptr;
}

bool isOctalMask(const std::string &mask)
{
    return !mask.empty() && mask.find_first_not_of("01234567") == std::string::npos;
}

// The kernel names that the runtime directory RUNTIME holds records of.
std::vector<std::string> recordsIn(const Directory &runtime)
{
    std::vector<std::string> kernelNames;
    for (const std::string &name : runtime.names()) {
        if (!endsWith(name, StepRecord::suffix))
            continue;
        const std::string kernelName = name.substr(0, name.size() - StepRecord::suffix.size());
        if (isSafeName(kernelName))
            kernelNames.push_back(kernelName);
    }
    return kernelNames;
}

} // namespace

void requestStop(int signal)
{
    pendingSignal.store(signal);
    // write(2) is async-signal-safe; so is reading an atomic int.
    if (const int fd = stopWake.load(); fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
    }
}

void wakeOnStop(int fd)
{
    stopWake.store(fd);
}

int stopSignal()
{
    return pendingSignal.load();
}

StopWhen::StopWhen(const std::atomic<bool> &gone)
{
    deviceGone = &gone;
}

StopWhen::~StopWhen()
{
    deviceGone = nullptr;
}

std::optional<Automounter::Places> Automounter::enter(bool make) const
{
    if (m_watchDir.empty() || m_watchDir.front() != '/')
        throw Failure("watch directory '" + printable(m_watchDir) + "' is not an absolute path");
    std::optional<Directory> watch = Directory::openOwned(m_watchDir, make);
    if (!watch)
        return std::nullopt;
    Directory state = watch->subdirectory(stateName);
    Directory mnt = state.subdirectory("mnt");
    Directory runtime = Directory::openPrivate(runtimeDirectory());
    Directory raw = runtime.subdirectory("raw");
    return Places{std::move(*watch), std::move(mnt), std::move(runtime), std::move(raw)};
}

bool Automounter::isOurLink(const std::string &entry, const Places &places) const
{
    const std::optional<std::string> text = places.watch.linkText(entry);
    return text && *text == linkTarget(entry);
}

void Automounter::requireOurLink(const std::string &entry, const Places &places) const
{
    if (!isOurLink(entry, places))
        throw Failure(printable(places.watch.pathOf(entry)) +
                      " is a symbolic link that orva-automount did not make; not touching it");
}

bool Automounter::isOurs(const std::string &name) const
{
    for (const std::string *prefix :
         {&m_config.prefixUsb, &m_config.prefixMmc, &m_config.notifyPrefix}) {
        if (isSafeName(*prefix) && name.size() > prefix->size() && startsWith(name, *prefix))
            return true;
    }
    return false;
}

// --- add ---------------------------------------------------------------------

bool Automounter::isInPlace(const Device &device, const std::string &entry, const Places &places,
                            const MountTable &table) const
{
    if (!isOurLink(entry, places))
        return false;
    // Only root mounts on a staging place itself, so the source that its
    // own mount names is the device's, FUSE or not.
    const std::optional<MountEntry> mount = ownMount(places.mnt, entry, table);
    return mount && (mount->devno == device.devnum || mount->source == device.node) &&
           !isDead(places.mnt, entry);
}

// What an earlier add left when it was killed, or the machine went down,
// before its remove ran: taken away, so that this add starts afresh and the
// plug-in sees the entry come anew and reads the new label.
void Automounter::replaceLeftovers(const std::string &entry, const Places &places,
                                   const MountTable &table) const
{
    const std::string path = places.watch.pathOf(entry);
    if (const auto info = places.watch.status(entry)) {
        if (S_ISLNK(info->st_mode)) {
            // One it did not make is refused by removeEntry below.
            if (isOurLink(entry, places))
                say("removed the stale entry " + printable(path));
        } else if (S_ISDIR(info->st_mode)) {
            // An entry of an older version, mounted on directly.
            const std::vector<MountEntry> mounts = table.on(path);
            if (!mounts.empty())
                throw Failure(printable(path) + " is already a mount point of " +
                              printable(mounts.back().source));
            if (!places.watch.removeDirectory(entry))
                throw Failure(printable(path) + " exists and is not empty");
        } else {
            throw Failure(printable(path) + " exists and is not a directory; not touching it");
        }
    }
    for (const std::string &place : {entry, oldRawPlace(entry)}) {
        if (table.isMountPoint(places.mnt.pathOf(place)))
            say("unmounted the stale mount " + printable(places.mnt.pathOf(place)));
    }
    if (table.isMountPoint(places.raw.pathOf(entry)))
        say("unmounted the stale mount " + printable(places.raw.pathOf(entry)));
    removeEntry(entry, places, true);
}

std::string Automounter::mountOptions(const std::string &fsType) const
{
    std::string options = "nosuid,nodev,noexec,noatime,nosymfollow";
    const auto append = [&](const std::string &more) {
        if (!more.empty())
            options += "," + more;
    };
    // vfat, exfat and ntfs keep no owners: the files belong to the user
    // the plug-in's host runs as, and no file is executable.
    if (fsType == "vfat" || fsType == "exfat" || fsType == "ntfs") {
        const passwd *user = getpwnam(m_config.hostUser.c_str());
        if (!user)
            throw Failure("HOST_USER '" + printable(m_config.hostUser) + "' is no user here");
        if (!isOctalMask(m_config.fileMask) || !isOctalMask(m_config.dirMask))
            throw Failure("FILE_MASK and DIR_MASK are octal masks, such as 0133 and 0022");
        append("uid=" + std::to_string(user->pw_uid) + ",gid=" + std::to_string(user->pw_gid) +
               ",fmask=" + m_config.fileMask + ",dmask=" + m_config.dirMask);
    }
    append(m_config.typeOptions(fsType));
    append(m_config.mountOptions);
    return options;
}

// The label file's line: blkid's encoding of the label, a FAT label read
// in FAT_CODEPAGE where it is not UTF-8.
std::string Automounter::labelOf(const Device &device, const FileSystem &fileSystem) const
{
    std::string label = fileSystem.label;
    if (fileSystem.type == "vfat" && !isUtf8(label)) {
        const int page = codepageNumber(m_config.fatCodepage);
        if (const auto converted = fatLabelToUtf8(label, page))
            label = *converted;
        else
            warn("cannot read the label of " + printable(device.node) + " in code page " +
                 std::to_string(page) + "; leaving it as it is");
    }
    return encodeLabel(label);
}

void Automounter::add(const std::string &argument)
{
    const Device device = inspectDevice(argument);
    if (!isSafeName(device.kernelName))
        throw Failure(printable(device.node) + " has an unexpected kernel name '" +
                      printable(device.kernelName) + "'");
    const std::string prefix = m_prefix ? *m_prefix : entryPrefix(device, m_config);
    checkPrefix(prefix);
    const std::string entry = prefix + device.kernelName;
    checkEntry(entry);
    std::string notify;
    if (!m_config.notifyPrefix.empty()) {
        checkPrefix(m_config.notifyPrefix);
        notify = m_config.notifyPrefix + device.kernelName;
        checkEntry(notify);
        if (m_config.notifyPrefix == prefix)
            throw Failure("NOTIFY_PREFIX and the entry's prefix are both '" + prefix + "'");
    }

    const Places places = *enter(true);
    const Lock all(places.runtime, "lock", Lock::Mode::Shared);
    const Lock one(places.runtime, device.kernelName + ".lock", Lock::Mode::Exclusive);
    const MountTable table = MountTable::read();
    if (isInPlace(device, entry, places, table)) {
        say(printable(device.node) + " is already mounted on " + places.watch.pathOf(entry));
        return;
    }
    replaceLeftovers(entry, places, table);
    checkNotMountedElsewhere(device, table, places.mnt.path());
    StepRecord record;
    record.watchDir = places.watch.path();
    record.entry = entry;
    record.notify = notify;
    record.begin(places.runtime, device.kernelName);
    try {
        runAdd(device, entry, notify, places, record);
    } catch (...) {
        // Undone in the order remove takes: the entry, the mounts, the
        // label file, and the notification entry last.
        try {
            removeEntry(entry, places, true);
            removeNotification(notify, places);
            StepRecord::discard(places.runtime, device.kernelName);
        } catch (const Failure &undoing) {
            warn(undoing.what());
        }
        throw;
    }
}

void Automounter::runAdd(const Device &device, const std::string &entry, const std::string &notify,
                         const Places &places, StepRecord &record) const
{
    const auto step = [&](const char *name) {
        throwIfStopped();
        record.step(name);
    };
    if (!notify.empty()) {
        step("notify");
        // One left over is taken on: it goes when this add ends.
        const auto info = places.watch.status(notify);
        if (info && !S_ISDIR(info->st_mode))
            throw Failure(printable(places.watch.pathOf(notify)) +
                          " exists and is not a directory; not touching it");
        if (!info && !places.watch.makeDirectory(notify))
            throw Failure("cannot create " + places.watch.pathOf(notify) + ": " + errorText(errno));
    }

    step("probe");
    const FileSystem fileSystem = probeFileSystem(device);
    if (fileSystem.type.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_") != std::string::npos)
        throw Failure(printable(device.node) + ": unexpected file system type '" +
                      printable(fileSystem.type) + "'");
    if (!m_config.allows(fileSystem.type)) {
        std::string allowed;
        for (const std::string &type : m_config.allowedTypes)
            allowed += (allowed.empty() ? "" : " ") + type;
        throw Refusal(printable(device.node) + " holds a file system of type " + fileSystem.type +
                      ", which is not allowed (allowed: " + printable(allowed) + ")" +
                      (fileSystem.type == "ntfs" ? ntfsLeftOut : ""));
    }
    const MountRequest request{device.node, fileSystem.type, mountOptions(fileSystem.type),
                               device.readOnly};
    const std::string label = labelOf(device, fileSystem);

    // The temporary names below are free: replaceLeftovers took what a
    // killed add left, and the undo takes what this one leaves.
    step("label");
    places.watch.replaceWithFile("." + entry + ".label." + std::to_string(getpid()),
                                 entry + ".label", label + "\n");

    step("stage");
    if (!places.raw.makeDirectory(entry))
        throw Failure("cannot create " + places.raw.pathOf(entry) + ": " + errorText(errno));
    if (!places.mnt.makeDirectory(entry))
        throw Failure("cannot create " + places.mnt.pathOf(entry) + ": " + errorText(errno));

    // First in the runtime directory: its path is walked again by the mount
    // and by a mount helper, and there only root can change any of it.
    step("mount");
    const MountOutcome outcome = mountDevice(request, places.raw.pathOf(entry));

    step("confine");
    confineMount(places.raw, entry, places.mnt, entry);
    places.raw.removeDirectory(entry);
    checkConfined(places.mnt.pathOf(entry));

    // The entry, in one step.
    step("link");
    places.watch.replaceWithLink("." + entry + ".link." + std::to_string(getpid()), entry,
                                 linkTarget(entry));

    step("done");
    if (!notify.empty() && !places.watch.removeDirectory(notify))
        warn("cannot remove " + places.watch.pathOf(notify));
    const std::string what = printable(device.node) + " (" + fileSystem.type + ")";
    if (!outcome.readOnlyBecause.empty())
        say("mounted " + what + " read-only: " + outcome.readOnlyBecause);
    say("mounted " + what + " on " + places.watch.pathOf(entry));
}

// --- remove ------------------------------------------------------------------

void Automounter::removeEntry(const std::string &entry, const Places &places, bool quiet) const
{
    const std::string path = places.watch.pathOf(entry);
    if (const auto info = places.watch.status(entry)) {
        if (S_ISLNK(info->st_mode)) {
            requireOurLink(entry, places);
            // The entry first: the plug-in drops the row before the files go.
            if (!places.watch.removeFile(entry))
                throw Failure("cannot remove " + printable(path) + ": " + errorText(errno));
        } else if (S_ISDIR(info->st_mode)) {
            // An entry of an older version, mounted on directly.
            unmountAll(places.watch, entry);
            if (!places.watch.removeDirectory(entry))
                throw Failure("cannot remove " + printable(path) + ": " + errorText(errno));
            if (!quiet)
                say("removed " + printable(path));
        }
    }
    for (const std::string &place : {entry, oldRawPlace(entry)}) {
        if (unmountAll(places.mnt, place) && place == entry && !quiet)
            say("removed " + printable(path));
        if (!places.mnt.removeDirectory(place))
            throw Failure("cannot remove " + printable(places.mnt.pathOf(place)) + ": " +
                          errorText(errno));
    }
    unmountAll(places.raw, entry);
    if (!places.raw.removeDirectory(entry))
        throw Failure("cannot remove " + printable(places.raw.pathOf(entry)) + ": " +
                      errorText(errno));
    if (!places.watch.removeFile(entry + ".label"))
        throw Failure("cannot remove " + printable(path) + ".label: " + errorText(errno));
    // Temporary files of an add that was killed between making one and
    // renaming it into place.
    for (const std::string &name : places.watch.names()) {
        if (startsWith(name, "." + entry + ".label.") || startsWith(name, "." + entry + ".link."))
            places.watch.removeFile(name);
    }
}

void Automounter::removeNotification(const std::string &notify, const Places &places) const
{
    if (notify.empty() || !isSafeName(notify))
        return;
    const auto info = places.watch.status(notify);
    if (info && S_ISDIR(info->st_mode))
        places.watch.removeDirectory(notify);
}

// The entries that an add may have made for KERNEL_NAME: the one its
// record names, else under the given prefix or any bus's.
std::vector<std::string> Automounter::entriesOf(const std::string &kernelName,
                                                const StepRecord *record) const
{
    std::vector<std::string> entries;
    if (record && !record->entry.empty())
        entries.push_back(record->entry);
    if (m_prefix) {
        checkPrefix(*m_prefix);
        entries.push_back(*m_prefix + kernelName);
    } else {
        for (const std::string *prefix : {&m_config.prefixUsb, &m_config.prefixMmc}) {
            if (isSafeName(*prefix))
                entries.push_back(*prefix + kernelName);
        }
    }
    return entries;
}

// The entries whose staging place, or raw place, NODE is mounted on: only
// mounts made by this program on those places themselves count. One that
// a user stacked there names whatever source its owner chose.
std::vector<std::string> Automounter::stagedEntriesOf(const std::string &node,
                                                      const Places &places) const
{
    std::vector<std::string> entries;
    const MountTable table = MountTable::read();
    for (const Directory *directory : {&places.mnt, &places.raw}) {
        const std::string below = directory->path() + "/";
        const int parent = mountBelow(*directory);
        for (const MountEntry &mount : table.entries()) {
            if (mount.parentId != parent || mount.source != node ||
                !startsWith(mount.target, below))
                continue;
            std::string name = mount.target.substr(below.size());
            if (!name.empty() && name.front() == '.')
                name.erase(0, 1);
            if (isSafeName(name))
                entries.push_back(name);
        }
    }
    return entries;
}

void Automounter::remove(const std::string &argument)
{
    const std::string kernelName = checkedKernelName(argument);
    const std::optional<Places> places = enter(false);
    if (!places)
        return;
    const Lock all(places->runtime, "lock", Lock::Mode::Shared);
    const Lock one(places->runtime, kernelName + ".lock", Lock::Mode::Exclusive);

    // The entry that add made, and wherever below the staging directory the
    // device is mounted.
    const std::optional<StepRecord> loaded = StepRecord::load(places->runtime, kernelName);
    const StepRecord *record = recordInto(loaded, places->watch.path());
    std::vector<std::string> entries = entriesOf(kernelName, record);
    const auto removeAll = [&] {
        for (const std::string &entry : entries) {
            checkEntry(entry);
            removeEntry(entry, *places, false);
        }
    };
    // Those it knows first: the row goes before the mount table is read.
    removeAll();
    if (!m_prefix) {
        entries = stagedEntriesOf("/dev/" + kernelName, *places);
        removeAll();
    }
    // An add that was stopped may have left its notification entry.
    removeNotification(record                          ? record->notify
                       : m_config.notifyPrefix.empty() ? std::string()
                                                       : m_config.notifyPrefix + kernelName,
                       *places);
    if (!loaded || record)
        StepRecord::discard(places->runtime, kernelName);
}

// Run by udev as it handles a device's removal, before systemd has even
// heard of it: the row goes at once, and the unit's remove unmounts later.
// It never waits, as udev holds the device's events meanwhile: while an add,
// a remove or a cleanup is at work, their unit's stop takes the entry away.
void Automounter::withdraw(const std::string &argument)
{
    const std::string kernelName = checkedKernelName(argument);
    const std::optional<Places> places = enter(false);
    if (!places)
        return;
    const std::optional<Lock> all = Lock::ifFree(places->runtime, "lock", Lock::Mode::Shared);
    const std::optional<Lock> one =
        all ? Lock::ifFree(places->runtime, kernelName + ".lock", Lock::Mode::Exclusive)
            : std::nullopt;
    if (!one)
        return;
    const std::optional<StepRecord> loaded = StepRecord::load(places->runtime, kernelName);
    for (const std::string &entry :
         entriesOf(kernelName, recordInto(loaded, places->watch.path()))) {
        checkEntry(entry);
        const auto info = places->watch.status(entry);
        if (!info || !S_ISLNK(info->st_mode))
            continue;
        requireOurLink(entry, *places);
        if (!places->watch.removeFile(entry))
            throw Failure("cannot remove " + printable(places->watch.pathOf(entry)) + ": " +
                          errorText(errno));
        say("withdrew " + printable(places->watch.pathOf(entry)));
    }
}

// --- cleanup -----------------------------------------------------------------

// What no mounted device backs: links of ours to a staging directory with
// no live mount on it, empty directories (notification entries, entries of
// an older version), label files without their entry, mounts without an
// entry, staging directories and temporary files.
void Automounter::cleanup()
{
    const std::optional<Places> places = enter(false);
    if (!places)
        return;
    const Lock all(places->runtime, "lock", Lock::Mode::Exclusive);
    const MountTable table = MountTable::read();
    const Directory &watch = places->watch;
    for (const std::string &name : watch.names()) {
        if (!isSafeName(name) || endsWith(name, ".label"))
            continue;
        const auto info = watch.status(name);
        if (!info)
            continue;
        const std::string path = watch.pathOf(name);
        // A link to its staging place is its own whatever the prefix (one
        // given by hand); a directory only under the configured prefixes.
        if (S_ISLNK(info->st_mode)) {
            if (!isOurLink(name, *places) ||
                (table.isMountPoint(places->mnt.pathOf(name)) && !isDead(places->mnt, name)))
                continue;
            removeEntry(name, *places, true);
            say("removed the stale entry " + printable(path));
        } else if (S_ISDIR(info->st_mode) && isOurs(name) && !table.isMountPoint(path) &&
                   watch.removeDirectory(name)) {
            say("removed the stale entry " + printable(path));
        }
    }
    for (const std::string &name : watch.names()) {
        const auto info = watch.status(name);
        if (!info)
            continue;
        if (name.front() == '.') {
            const bool temporary = name.find(".label.") != std::string::npos ||
                                   name.find(".link.") != std::string::npos;
            if (temporary && name != stateName &&
                (S_ISREG(info->st_mode) || S_ISLNK(info->st_mode)))
                watch.removeFile(name);
            continue;
        }
        const std::string entry = name.substr(0, name.size() - 6);
        if (endsWith(name, ".label") && isSafeName(name) && isOurs(name) && !watch.status(entry) &&
            watch.removeFile(name))
            say("removed the stale label file " + printable(watch.pathOf(name)));
    }
    for (const std::string &name : places->mnt.names()) {
        const std::string path = places->mnt.pathOf(name);
        const bool linked = isSafeName(name) && isOurLink(name, *places);
        if (table.isMountPoint(path) && (!linked || isDead(places->mnt, name))) {
            unmountAll(places->mnt, name);
            say("unmounted the stale mount " + printable(path));
        }
        if (!table.isMountPoint(path) || !linked)
            places->mnt.removeDirectory(name);
    }
    // No add is at work: whatever is mounted in the raw places is stale.
    for (const std::string &name : places->raw.names()) {
        if (unmountAll(places->raw, name))
            say("unmounted the stale mount " + printable(places->raw.pathOf(name)));
        places->raw.removeDirectory(name);
    }
    // The records of adds whose entry and mount went above: nothing of
    // them is left to remove.
    for (const std::string &kernelName : recordsIn(places->runtime)) {
        const std::optional<StepRecord> loaded = StepRecord::load(places->runtime, kernelName);
        const StepRecord *record = recordInto(loaded, watch.path());
        if (record && !watch.status(record->entry) && !places->mnt.status(record->entry))
            StepRecord::discard(places->runtime, kernelName);
    }
}

// --- status ------------------------------------------------------------------

std::vector<std::string> Automounter::recordedDevices() const
{
    const std::optional<Places> places = enter(false);
    return places ? recordsIn(places->runtime) : std::vector<std::string>{};
}

std::vector<DeviceReport> Automounter::report() const
{
    std::vector<DeviceReport> reports;
    const std::optional<Places> places = enter(false);
    if (!places)
        return reports;
    const MountTable table = MountTable::read();
    for (const std::string &kernelName : recordsIn(places->runtime)) {
        const std::optional<StepRecord> loaded = StepRecord::load(places->runtime, kernelName);
        const StepRecord *record = recordInto(loaded, places->watch.path());
        if (!record || !isSafeName(record->entry))
            continue;
        DeviceReport report;
        report.kernelName = kernelName;
        report.entry = record->entry;
        report.step = record->steps.empty() ? "" : record->steps.back();
        // An add or a remove holds the device's lock for as long as it works.
        const bool atWork =
            !Lock::ifFree(places->runtime, kernelName + ".lock", Lock::Mode::Exclusive);
        const std::optional<MountEntry> mount = ownMount(places->mnt, record->entry, table);
        if (mount) {
            report.type = mount->type;
            report.source = mount->source;
            report.options = mount->vfsOptions;
        }
        if (report.step != "done")
            report.state = atWork ? "adding" : "stopped";
        else if (atWork)
            report.state = "removing";
        else
            report.state =
                mount && isOurLink(record->entry, *places) && !isDead(places->mnt, record->entry)
                    ? "mounted"
                    : "gone";
        report.label = places->watch.readSmallFile(record->entry + ".label");
        if (!report.label.empty() && report.label.back() == '\n')
            report.label.pop_back();
        reports.push_back(std::move(report));
    }
    return reports;
}

} // namespace orva::automount
