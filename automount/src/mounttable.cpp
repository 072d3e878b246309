// SPDX-License-Identifier: MIT
#include "mounttable.h"

#include "failure.h"

#include "fd.h"
#include "names.h"

#include <fcntl.h>
#include <libmount.h>

#include <cstdlib>

#include <memory>

namespace orva::automount {

namespace {

std::string text(const char *value)
{
    return value ? value : "";
}

struct TableFree
{
    void operator()(libmnt_table *table) const { mnt_unref_table(table); }
};
struct IterFree
{
    void operator()(libmnt_iter *iter) const { mnt_free_iter(iter); }
};

} // namespace

MountTable MountTable::read()
{
    std::unique_ptr<libmnt_table, TableFree> table(mnt_new_table_from_file("/proc/self/mountinfo"));
    if (!table)
        throw Failure("cannot read the mount table /proc/self/mountinfo");
    std::unique_ptr<libmnt_iter, IterFree> iter(mnt_new_iter(MNT_ITER_FORWARD));
    if (!iter)
        throw Failure("cannot read the mount table: out of memory");
    MountTable result;
    libmnt_fs *fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        result.m_entries.push_back(
            MountEntry{text(mnt_fs_get_target(fs)), text(mnt_fs_get_source(fs)),
                       text(mnt_fs_get_fstype(fs)), text(mnt_fs_get_vfs_options(fs)),
                       mnt_fs_get_devno(fs), mnt_fs_get_id(fs), mnt_fs_get_parent_id(fs)});
    }
    return result;
}

std::vector<MountEntry> MountTable::on(std::string_view target) const
{
    std::vector<MountEntry> found;
    for (const MountEntry &entry : m_entries) {
        if (entry.target == target)
            found.push_back(entry);
    }
    return found;
}

std::vector<MountEntry> MountTable::of(dev_t devno, std::string_view source) const
{
    std::vector<MountEntry> found;
    for (const MountEntry &entry : m_entries) {
        const bool named = !source.empty() && entry.source == source && !isFuse(entry.type);
        if ((devno != 0 && entry.devno == devno) || named)
            found.push_back(entry);
    }
    return found;
}

bool isFuse(std::string_view type)
{
    return type == "fuse" || type == "fuseblk" || startsWith(type, "fuse.");
}

int mountIdOf(int fd)
{
    const Fd info(open(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!info || !readAll(info.get(), text))
        return -1;
    const std::size_t at = text.find("\nmnt_id:");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 9);
}

bool hasOption(std::string_view options, std::string_view option)
{
    while (!options.empty()) {
        const std::size_t comma = options.find(',');
        if (options.substr(0, comma) == option)
            return true;
        if (comma == std::string_view::npos)
            break;
        options.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace orva::automount
