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

// The mount on RAW in RAW_DIR, made again on STAGE in MNT with nosuid,
// nodev, noexec and nosymfollow set on the mount itself, whatever its driver
// did with those options (a FUSE driver drops what it does not know). The
// copy is made detached, confined, and only then attached, onto STAGE held
// open: every mount namespace it propagates to gets it confined. Then RAW
// is unmounted. Throws Failure when any of it is refused.
void confineMount(const Directory &rawDir, const std::string &raw, const Directory &mnt,
                  const std::string &stage);

// Throws Failure unless the mount table shows the mount on TARGET with
// nosuid, nodev, noexec and nosymfollow.
void checkConfined(const std::string &target);

// Unmounts everything on NAME in DIR, the topmost first, until NAME is a
// plain directory of DIR's own mount: what others stacked on the device's
// mount included, which it says. Each through a descriptor, never a path
// walked again, and without looking into the file system, so it works on a
// mount whose FUSE driver died; one whose driver hangs has its connection
// aborted after a while. Returns whether anything was mounted; throws
// Failure when a mount stays.
bool unmountAll(const Directory &dir, const std::string &name);

} // namespace orva::automount
