// SPDX-License-Identifier: MIT
#include "directory.h"

#include "failure.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <memory>

namespace orva::automount {

namespace {

// Every directory made in the watch directory and above it: the plug-in's
// host, another user, reads it.
constexpr mode_t directoryMode = 0755;

std::string userName(uid_t uid)
{
    const passwd *entry = getpwuid(uid);
    return entry ? entry->pw_name : std::to_string(uid);
}

// mkdir -p.
bool makeParents(const std::string &path)
{
    std::string so_far;
    std::size_t at = 0;
    while (at != std::string::npos) {
        const std::size_t next = path.find('/', at + 1);
        so_far = path.substr(0, next);
        at = next;
        if (so_far.empty())
            continue;
        if (mkdir(so_far.c_str(), directoryMode) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// A mode as chmod(1) takes it: 755, 1777.
std::string octal(mode_t mode)
{
    char digits[12];
    return std::string(digits, std::to_chars(digits, std::end(digits), mode, 8).ptr);
}

} // namespace

void Directory::checkOwned(int fd, const std::string &path)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        throw Failure("cannot read " + printable(path));
    if (!S_ISDIR(info.st_mode))
        throw Failure(printable(path) + " is not a directory");
    if (info.st_uid != geteuid())
        throw Failure(printable(path) + " is not owned by " + userName(geteuid()));
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        throw Failure(printable(path) + " is writable by others (mode " +
                      octal(info.st_mode & 07777) + ")");
    }
}

std::optional<Directory> Directory::openOwned(const std::string &path, bool make)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            throw Failure("cannot read " + printable(path) + ": " + errorText(errno));
        if (!make)
            return std::nullopt;
        if (!makeParents(path))
            throw Failure("cannot create the watch directory " + printable(path) + ": " +
                          errorText(errno));
    }
    // Its real path: the entries' links and the mount table name it so.
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real)
        throw Failure("cannot enter the watch directory " + printable(path) + ": " +
                      errorText(errno));
    Fd fd(open(real.get(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw Failure("cannot enter the watch directory " + printable(real.get()) + ": " +
                      errorText(errno));
    checkOwned(fd.get(), real.get());
    return Directory(std::move(fd), real.get());
}

Directory Directory::openPrivate(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw Failure("cannot create " + printable(path) + ": " + errorText(errno));
    Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw Failure("cannot open " + printable(path) + ": " + errorText(errno));
    checkOwned(fd.get(), path);
    struct stat info;
    if (fstat(fd.get(), &info) != 0 || (info.st_mode & 077) != 0)
        throw Failure(printable(path) + " may be entered by others; it must be 0700");
    return Directory(std::move(fd), path);
}

Directory Directory::subdirectory(const std::string &name) const
{
    const std::string path = pathOf(name);
    if (!makeDirectory(name) && errno != EEXIST)
        throw Failure("cannot create " + printable(path) + ": " + errorText(errno));
    Fd sub(openat(fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub) {
        if (errno == ELOOP)
            throw Failure(printable(path) + " is a symbolic link");
        if (errno == ENOTDIR)
            throw Failure(printable(path) + " is not a directory");
        throw Failure("cannot open " + printable(path) + ": " + errorText(errno));
    }
    checkOwned(sub.get(), path);
    return Directory(std::move(sub), path);
}

std::optional<struct stat> Directory::status(const std::string &name) const
{
    struct stat info;
    if (fstatat(fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return info;
}

std::optional<std::string> Directory::linkText(const std::string &name) const
{
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(fd(), name.c_str(), buffer, sizeof buffer);
    // -1 too: as a size, it is past any buffer.
    if (static_cast<std::size_t>(length) >= sizeof buffer)
        return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::vector<std::string> Directory::names() const
{
    std::vector<std::string> result;
    const int copy = openat(fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return result;
    struct Closer
    {
        void operator()(DIR *d) const { closedir(d); }
    };
    std::unique_ptr<DIR, Closer> dir(fdopendir(copy));
    if (!dir) {
        close(copy);
        return result;
    }
    while (const dirent *entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            result.push_back(name);
    }
    return result;
}

bool Directory::makeDirectory(const std::string &name) const
{
    return mkdirat(fd(), name.c_str(), directoryMode) == 0;
}

bool Directory::removeFile(const std::string &name) const
{
    return unlinkat(fd(), name.c_str(), 0) == 0 || errno == ENOENT;
}

bool Directory::removeDirectory(const std::string &name) const
{
    return unlinkat(fd(), name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

void Directory::replaceWithFile(const std::string &temporary, const std::string &name,
                                std::string_view text) const
{
    Fd file(openat(fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0644));
    if (!file)
        throw Failure("cannot create a file in " + printable(m_path) + ": " + errorText(errno));
    if (!writeAll(file.get(), text))
        throw Failure("cannot write " + printable(pathOf(temporary)) + ": " + errorText(errno));
    // The umask must not decide whether the plug-in's host can read it.
    if (fchmod(file.get(), 0644) != 0 || renameat(fd(), temporary.c_str(), fd(), name.c_str()) != 0)
        throw Failure("cannot write " + printable(pathOf(name)) + ": " + errorText(errno));
}

void Directory::replaceWithLink(const std::string &temporary, const std::string &name,
                                const std::string &target) const
{
    if (symlinkat(target.c_str(), fd(), temporary.c_str()) != 0)
        throw Failure("cannot create a link in " + printable(m_path) + ": " + errorText(errno));
    if (renameat(fd(), temporary.c_str(), fd(), name.c_str()) != 0)
        throw Failure("cannot create " + printable(pathOf(name)) + ": " + errorText(errno));
}

} // namespace orva::automount
