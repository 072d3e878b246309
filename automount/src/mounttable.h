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
    // The mounts whose device is DEVNO, or whose source is the node SOURCE.
    std::vector<MountEntry> of(dev_t devno, std::string_view source) const;

private:
    std::vector<MountEntry> m_entries;
};

// Whether the comma-separated OPTIONS hold OPTION.
bool hasOption(std::string_view options, std::string_view option);

} // namespace orva::automount
