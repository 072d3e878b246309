// SPDX-License-Identifier: MIT
#include "mounter.h"

#include "failure.h"
#include "mounttable.h"

#include <fcntl.h>
#include <libmount.h>
#include <sys/mount.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>

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

// How long a FUSE driver may take to let its mount go before its
// connection is aborted: a driver that hangs (stopped, or looping on a
// crafted image) would otherwise keep the unmount, and the device, for good.
constexpr auto fuseUnmountWait = std::chrono::seconds(10);

// The FUSE connection of the mount with ID TOP among MOUNTS, by its device
// number as /sys/fs/fuse/connections names it; empty for other mounts.
std::optional<std::string> fuseConnection(const std::vector<MountEntry> &mounts, int top)
{
    for (const MountEntry &mount : mounts) {
        if (mount.id == top && isFuse(mount.type))
            return std::to_string((major(mount.devno) << 20) | minor(mount.devno));
    }
    return std::nullopt;
}

bool abortConnection(const std::string &connection)
{
    const Fd abort(
        open(("/sys/fs/fuse/connections/" + connection + "/abort").c_str(), O_WRONLY | O_CLOEXEC));
    return abort && writeAll(abort.get(), "1");
}

// umount2 of the mount PLACE is the root of: a plain unmount, so an idle
// device is written back and let go at once, else a lazy one. Through
// /proc/self/fd, so no path is walked again. Returns 0 or an errno value.
int unmountThrough(int place)
{
    const std::string proc = "/proc/self/fd/" + std::to_string(place);
    if (umount2(proc.c_str(), 0) == 0)
        return 0;
    if (errno == EBUSY && umount2(proc.c_str(), MNT_DETACH) == 0)
        return 0;
    return errno;
}

// Unmounts the mount with ID TOP, the root of PLACE, one of MOUNTS. A FUSE
// driver's unmount waits for its answer, where the last reference to its
// mount goes: in a thread of its own, which holds that last reference (a
// descriptor of PLACE) and lets it go before it reports; when no answer
// comes in time, the connection is aborted, which ends the wait.
void unmountTop(Fd place, const std::string &path, const std::vector<MountEntry> &mounts, int top)
{
    const std::optional<std::string> connection = fuseConnection(mounts, top);
    if (!connection) {
        if (const int error = unmountThrough(place.get()))
            throw Failure("cannot unmount " + printable(path) + ": " + errorText(error));
        return;
    }
    const int held = fcntl(place.get(), F_DUPFD_CLOEXEC, 0);
    if (held < 0)
        throw Failure("cannot unmount " + printable(path) + ": " + errorText(errno));
    place.reset();
    // The thread may outlive this call, blocked until the abort.
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    std::thread([done, held] {
        const int error = unmountThrough(held);
        close(held);
        done->set_value(error);
    }).detach();
    if (result.wait_for(fuseUnmountWait) == std::future_status::timeout) {
        if (!abortConnection(*connection))
            throw Failure("the FUSE driver of " + printable(path) + " did not let it go in " +
                          std::to_string(fuseUnmountWait.count()) +
                          " s, and its connection cannot be aborted: " + errorText(errno));
        warn("the FUSE driver of " + printable(path) + " did not let it go in " +
             std::to_string(fuseUnmountWait.count()) + " s; aborted its connection " + *connection);
        result.wait();
    }
    if (const int error = result.get())
        throw Failure("cannot unmount " + printable(path) + ": " + errorText(error));
}

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

void confineMount(const Directory &rawDir, const std::string &raw, const Directory &mnt,
                  const std::string &stage)
{
    const Fd tree(static_cast<int>(open_tree(
        rawDir.fd(), raw.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_SYMLINK_NOFOLLOW)));
    if (!tree)
        throw Failure("cannot copy the mount " + printable(rawDir.pathOf(raw)) + ": " +
                      errorText(errno));
    mount_attr attributes{};
    attributes.attr_set =
        MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC | MOUNT_ATTR_NOSYMFOLLOW;
    if (mount_setattr(tree.get(), "", AT_EMPTY_PATH, &attributes, sizeof attributes) != 0)
        throw Failure("cannot set nosuid,nodev,noexec,nosymfollow on the mount of " +
                      printable(rawDir.pathOf(raw)) + ": " + errorText(errno));
    // Onto the staging directory held open, not onto a path walked again.
    const Fd place(openat(mnt.fd(), stage.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!place || move_mount(tree.get(), "", place.get(), "",
                             MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0)
        throw Failure("cannot mount on " + printable(mnt.pathOf(stage)) + ": " + errorText(errno));
    unmountAll(rawDir, raw);
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

bool unmountAll(const Directory &dir, const std::string &name)
{
    const std::string path = dir.pathOf(name);
    const int below = mountIdOf(dir.fd());
    // As first found: most places have nothing mounted, and the table is
    // read only where something is.
    std::optional<std::vector<MountEntry>> before;
    bool unmounted = false;
    // Each round takes the topmost mount away, whatever was stacked on the
    // device's own (by a user who can write its root): until the place is
    // a plain directory of DIR's own mount again. The kernel's limit on
    // mounts bounds the rounds.
    for (;;) {
        Fd place(openat(dir.fd(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!place && errno == ENOENT)
            break;
        if (!place)
            throw Failure("cannot open " + printable(path) + ": " + errorText(errno));
        const int top = mountIdOf(place.get());
        if (top < 0 || below < 0)
            throw Failure("cannot tell what is mounted on " + printable(path));
        if (top == below)
            break;
        const std::vector<MountEntry> mounts = MountTable::read().on(path);
        if (!before)
            before = mounts;
        unmountTop(std::move(place), path, mounts, top);
        unmounted = true;
    }
    std::string stacked;
    for (const MountEntry &mount : before.value_or(std::vector<MountEntry>())) {
        if (mount.parentId != below)
            stacked += (stacked.empty() ? "" : ", ") + printable(mount.type) + " from " +
                       printable(mount.source);
    }
    if (!stacked.empty())
        warn("unmounted what was stacked on " + printable(path) + ": " + stacked);
    return unmounted;
}

} // namespace orva::automount
