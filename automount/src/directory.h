// SPDX-License-Identifier: MIT
#pragma once

#include "fd.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orva::automount {

// A directory held open. Everything made, renamed or removed in it is
// named relative to this descriptor, so a link planted on the path
// afterwards changes nothing; and only its owner (this program's user) may
// write it, so nobody else can plant a name in it either.
class Directory
{
public:
    // The directory PATH (absolute), made with its parents when MAKE and it
    // is missing. Empty when it is missing and not to be made. Every
    // directory on the way is root's and writable by nobody else (or
    // sticky), and PATH itself is no link: its path() is the one walked.
    // WHAT names it in a message.
    static std::optional<Directory> openSafe(const std::string &path, bool make, const char *what);
    // As openSafe, and PATH is this program's user's own.
    static std::optional<Directory> openOwned(const std::string &path, bool make);
    // The directory PATH that nobody but its owner may even enter, made
    // 0700 when missing (its parent must exist).
    static Directory openPrivate(const std::string &path);
    // The directory NAME in this one, made when missing.
    Directory subdirectory(const std::string &name) const;

    int fd() const { return m_fd.get(); }
    const std::string &path() const { return m_path; }
    std::string pathOf(std::string_view name) const { return m_path + "/" + std::string(name); }

    // lstat of NAME; empty when it does not exist.
    std::optional<struct stat> status(const std::string &name) const;
    // The text of the symbolic link NAME; empty when it is none.
    std::optional<std::string> linkText(const std::string &name) const;
    std::vector<std::string> names() const;
    // The first 4 KiB of the regular file NAME; empty when there is none.
    std::string readSmallFile(const std::string &name) const;

    // Each returns false, with errno set, where the system call failed;
    // a name that is already gone counts as removed.
    bool makeDirectory(const std::string &name) const;
    bool removeFile(const std::string &name) const;
    bool removeDirectory(const std::string &name) const;

    // NAME holding TEXT, or the symbolic link NAME to TARGET, made under
    // TEMPORARY and renamed into place: whatever NAME was (a link planted
    // there included) is replaced in one step, never followed, and the
    // plug-in never sees half of it. TEMPORARY must not exist; it may be
    // left behind when they throw Failure.
    void replaceWithFile(const std::string &temporary, const std::string &name,
                         std::string_view text) const;
    void replaceWithLink(const std::string &temporary, const std::string &name,
                         const std::string &target) const;

private:
    Directory(Fd fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}
    static void checkOwned(int fd, const std::string &path);
    static void checkSafe(const struct stat &info, const std::string &path, bool ancestor);

    Fd m_fd;
    std::string m_path;
};

} // namespace orva::automount
