// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orva::automount {

// One line of the kernel's mount table, as libmount reads it.
struct MountEntry
{
    std::string target;
    std::string source;
    std::string type;
    // The per-mount flags: rw/ro, nosuid, nodev, noexec, nosymfollow, ...
    std::string vfsOptions;
    dev_t devno{};
    // The mount's ID and that of the mount it is on: a mount made on a
    // directory of ours has that directory's mount as its parent, one
    // stacked on it has it instead.
    int id{};
    int parentId{};
};

// What is mounted, from /proc/self/mountinfo: the kernel's word, never a
// guess from a path (a path under a dead FUSE daemon cannot even be
// looked at). In mount order: a mount stacked on another comes later.
class MountTable
{
public:
    static MountTable read();
    MountTable() = default;
    explicit MountTable(std::vector<MountEntry> entries) : m_entries(std::move(entries)) {}

    const std::vector<MountEntry> &entries() const { return m_entries; }
    // The mounts on TARGET, the one on top last.
    std::vector<MountEntry> on(std::string_view target) const;
    bool isMountPoint(std::string_view target) const { return !on(target).empty(); }
    // The mounts of the block device DEVNO, or whose source is the node
    // SOURCE (btrfs gives each mount a device number of its own). A FUSE
    // mount's source is whatever its owner, any local user, named it: it
    // is never taken for the device's.
    std::vector<MountEntry> of(dev_t devno, std::string_view source) const;

private:
    std::vector<MountEntry> m_entries;
};

// Whether a mount of TYPE is a FUSE file system (fuse, fuse.SUBTYPE,
// fuseblk): its source is whatever the one who mounted it named.
bool isFuse(std::string_view type);

// The ID of the mount that the open file FD is on, from the kernel's
// fdinfo: no call reaches the file system, which may be a FUSE one whose
// driver hangs. -1 where it cannot be read.
int mountIdOf(int fd);

// Whether the comma-separated OPTIONS hold OPTION.
bool hasOption(std::string_view options, std::string_view option);

} // namespace orva::automount
