// SPDX-License-Identifier: MIT
#pragma once

#include "directory.h"

#include <string>

namespace orva::automount {

// How a device is to be mounted.
struct MountRequest
{
    std::string device;  // /dev/sdb1
    std::string fsType;  // as probed: vfat, ntfs, ext4, ...
    std::string options; // comma-separated
    bool writeProtected{};
};

// Read-only where it had to be, and why; empty when read-write.
struct MountOutcome
{
    std::string readOnlyBecause;
};

// Mounts the device on TARGET with libmount (the kernel's driver, or a
// helper such as mount.ntfs-3g): read-only at once where the device is
// write-protected, else read-write and, if the kernel refuses that, once
// more read-only. Throws Failure with the reasons when it cannot.
MountOutcome mountDevice(const MountRequest &request, const std::string &target);

// The mount on RAW in MNT, made again on STAGE with nosuid, nodev, noexec
// and nosymfollow set on the mount itself, whatever its driver did with
// those options (a FUSE driver drops what it does not know). The copy is
// made detached, confined, and only then attached: every mount namespace
// it propagates to gets it confined. Then RAW is unmounted. Throws Failure
// when any of it is refused.
void confineMount(const Directory &mnt, const std::string &raw, const std::string &stage);

// Throws Failure unless the mount table shows the mount on TARGET with
// nosuid, nodev, noexec and nosymfollow.
void checkConfined(const std::string &target);

// Unmounts everything on TARGET, the topmost first: a plain unmount, so an
// idle device is written back and let go at once, else a lazy one that
// lets go when its last user does. Works on a mount whose FUSE daemon
// died: asks the kernel, never looks at the path. Returns whether anything
// was mounted; throws Failure when a mount stays.
bool unmountAll(const std::string &target);

} // namespace orva::automount
