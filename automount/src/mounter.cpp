// SPDX-License-Identifier: MIT
#include "mounter.h"

#include "failure.h"
#include "mounttable.h"

#include <fcntl.h>
#include <libmount.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace orva::automount {

namespace {

struct ContextFree
{
    void operator()(libmnt_context *context) const { mnt_free_context(context); }
};

struct Attempt
{
    bool mounted{};
    int syscallErrno{};
    std::string message;
};

Attempt attempt(const MountRequest &request, const std::string &type, const std::string &target,
                bool readOnly)
{
    std::unique_ptr<libmnt_context, ContextFree> context(mnt_new_context());
    if (!context)
        return {false, ENOMEM, "out of memory"};
    const std::string options = request.options + (readOnly ? ",ro" : "");
    mnt_context_set_source(context.get(), request.device.c_str());
    mnt_context_set_target(context.get(), target.c_str());
    mnt_context_set_fstype(context.get(), type.c_str());
    mnt_context_set_options(context.get(), options.c_str());
    // Only what is given here: no fstab, and no paths resolved again.
    mnt_context_set_optsmode(context.get(), MNT_OMODE_IGNORE);
    mnt_context_disable_canonicalize(context.get(), 1);
    // The read-only fallback is ours, so that it is said, with its reason.
    mnt_context_enable_rwonly_mount(context.get(), !readOnly);
    const int rc = mnt_context_mount(context.get());
    Attempt result;
    result.mounted = rc == 0 && mnt_context_get_status(context.get()) == 1;
    if (result.mounted)
        return result;
    result.syscallErrno = mnt_context_get_syscall_errno(context.get());
    char message[512] = "";
    mnt_context_get_excode(context.get(), rc, message, sizeof message);
    result.message = message;
    if (result.message.empty() && mnt_context_helper_executed(context.get()))
        result.message = "its mount helper exited with status " +
                         std::to_string(mnt_context_get_helper_status(context.get()));
    if (result.message.empty())
        result.message = errorText(result.syscallErrno ? result.syscallErrno : EINVAL);
    result.message = printable(result.message);
    return result;
}

bool hasNtfs3g()
{
    for (const char *helper : {"/sbin/mount.ntfs-3g", "/usr/sbin/mount.ntfs-3g"}) {
        if (access(helper, X_OK) == 0)
            return true;
    }
    return false;
}

// The kernel's own NTFS driver where it has one (the mount loads its
// module); else the FUSE driver.
Attempt attemptAnyDriver(const MountRequest &request, const std::string &target, bool readOnly)
{
    if (request.fsType != "ntfs")
        return attempt(request, request.fsType, target, readOnly);
    Attempt kernel = attempt(request, "ntfs3", target, readOnly);
    if (kernel.mounted || kernel.syscallErrno != ENODEV)
        return kernel;
    if (!hasNtfs3g())
        throw Failure(printable(request.device) +
                      " holds ntfs, but the kernel has no ntfs3 and ntfs-3g is not installed");
    return attempt(request, "ntfs-3g", target, readOnly);
}

std::string describe(const MountRequest &request)
{
    return printable(request.device) + " (" + request.fsType + ")";
}

constexpr const char *confinement[] = {"nosuid", "nodev", "noexec", "nosymfollow"};

} // namespace

MountOutcome mountDevice(const MountRequest &request, const std::string &target)
{
    if (request.writeProtected) {
        const Attempt readOnly = attemptAnyDriver(request, target, true);
        if (!readOnly.mounted)
            throw Failure("mounting " + describe(request) +
                          " read-only was refused: " + readOnly.message);
        return {"the device is write-protected"};
    }
    const bool askedReadOnly = hasOption(request.options, "ro");
    const Attempt readWrite = attemptAnyDriver(request, target, askedReadOnly);
    if (readWrite.mounted)
        return {};
    if (askedReadOnly)
        throw Failure("mounting " + describe(request) + " on " + printable(target) +
                      " was refused: " + readWrite.message);
    const Attempt readOnly = attemptAnyDriver(request, target, true);
    if (!readOnly.mounted)
        throw Failure("mounting " + describe(request) + " was refused: " + readWrite.message +
                      "; read-only: " + readOnly.message);
    return {"read-write was refused: " + readWrite.message};
}

void confineMount(const Directory &mnt, const std::string &raw, const std::string &stage)
{
    const Fd tree(static_cast<int>(open_tree(
        mnt.fd(), raw.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_SYMLINK_NOFOLLOW)));
    if (!tree)
        throw Failure("cannot copy the mount " + printable(mnt.pathOf(raw)) + ": " +
                      errorText(errno));
    mount_attr attributes{};
    attributes.attr_set =
        MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC | MOUNT_ATTR_NOSYMFOLLOW;
    if (mount_setattr(tree.get(), "", AT_EMPTY_PATH, &attributes, sizeof attributes) != 0)
        throw Failure("cannot set nosuid,nodev,noexec,nosymfollow on the mount of " +
                      printable(mnt.pathOf(raw)) + ": " + errorText(errno));
    if (move_mount(tree.get(), "", mnt.fd(), stage.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0)
        throw Failure("cannot mount on " + printable(mnt.pathOf(stage)) + ": " + errorText(errno));
    unmountAll(mnt.pathOf(raw));
}

void checkConfined(const std::string &target)
{
    const std::vector<MountEntry> mounts = MountTable::read().on(target);
    if (mounts.empty())
        throw Failure("nothing is mounted on " + printable(target));
    const std::string &options = mounts.back().vfsOptions;
    for (const char *option : confinement) {
        if (!hasOption(options, option))
            throw Failure("the mount on " + printable(target) + " lacks " + option + " (" +
                          printable(options) + "); not showing it");
    }
}

bool unmountAll(const std::string &target)
{
    bool unmounted = false;
    // Bounded: each round takes the topmost mount away. The kernel says
    // when nothing is mounted there (EINVAL) or there is no such place.
    for (int round = 0; round < 16; ++round) {
        if (umount2(target.c_str(), UMOUNT_NOFOLLOW) == 0 ||
            (errno == EBUSY && umount2(target.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0)) {
            unmounted = true;
            continue;
        }
        if (errno == EINVAL || errno == ENOENT)
            return unmounted;
        throw Failure("cannot unmount " + printable(target) + ": " + errorText(errno));
    }
    throw Failure("cannot unmount " + printable(target) + ": too many mounts on it");
}

} // namespace orva::automount
