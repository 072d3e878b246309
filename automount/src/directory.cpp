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

// The names of PATH's components, without empty ones and ".".
std::vector<std::string> components(const std::string &path)
{
    std::vector<std::string> names;
    for (std::size_t at = 0; at < path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        if (end > at && path.compare(at, end - at, ".") != 0)
            names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

std::string joined(const std::vector<std::string> &names)
{
    std::string path;
    for (const std::string &name : names)
        path += "/" + name;
    return path.empty() ? "/" : path;
}

Fd openPath(int directory, const char *name)
{
    Fd fd(openat(directory, name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        throw Failure(std::string("cannot open ") + name + ": " + errorText(errno));
    return fd;
}

// A mode as chmod(1) takes it: 755, 1777.
std::string octal(mode_t mode)
{
    char digits[12];
    return std::string(digits, std::to_chars(digits, std::end(digits), mode, 8).ptr);
}

} // namespace

void Directory::checkSafe(const struct stat &info, const std::string &path, bool ancestor)
{
    if (info.st_uid != 0 && info.st_uid != geteuid())
        throw Failure(printable(path) + " is owned by " + userName(info.st_uid) + ", not by " +
                      userName(geteuid()));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(ancestor && (info.st_mode & S_ISVTX)))
        throw Failure(printable(path) + " is writable by others (mode " +
                      octal(info.st_mode & 07777) + ")");
}

void Directory::checkOwned(int fd, const std::string &path)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        throw Failure("cannot read " + printable(path));
    if (!S_ISDIR(info.st_mode))
        throw Failure(printable(path) + " is not a directory");
    if (info.st_uid != geteuid())
        throw Failure(printable(path) + " is not owned by " + userName(geteuid()));
    checkSafe(info, path, false);
}

// Walks PATH from the root one component at a time, each opened relative
// to its parent's descriptor, never by a path again. Each directory passed
// must be root's (or this program's user's) and writable by nobody else,
// unless it is sticky, where nobody else can rename or remove what root
// made: then nobody else can swap a component for a link of their own while
// the walk goes on, or after it. A link on the way is followed only when
// root owns it; the last component must be a directory itself. Missing
// directories are made 0755 when MAKE, each in a parent that passed.
std::optional<Directory> Directory::openSafe(const std::string &path, bool make, const char *what)
{
    if (path.empty() || path.front() != '/')
        throw Failure(printable(path) + " is not an absolute path");
    std::vector<std::string> todo = components(path);
    std::vector<std::string> walked;
    std::vector<Fd> parents;
    Fd current = openPath(AT_FDCWD, "/");
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.erase(todo.begin());
        if (name == "..") {
            if (!parents.empty()) {
                current = std::move(parents.back());
                parents.pop_back();
                walked.pop_back();
            }
            continue;
        }
        const std::string here = joined(walked) + "/" + name;
        Fd next(openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT) {
            if (!make)
                return std::nullopt;
            if (mkdirat(current.get(), name.c_str(), directoryMode) != 0 && errno != EEXIST)
                throw Failure(std::string("cannot create ") + what + " " + printable(path) + ": " +
                              errorText(errno));
            next = Fd(openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next)
            throw Failure("cannot open " + printable(here) + ": " + errorText(errno));
        struct stat info;
        if (fstat(next.get(), &info) != 0)
            throw Failure("cannot read " + printable(here) + ": " + errorText(errno));
        if (S_ISLNK(info.st_mode)) {
            if (todo.empty())
                throw Failure(printable(here) + " is a symbolic link; give the directory itself");
            if (info.st_uid != 0)
                throw Failure(printable(here) + " is a symbolic link owned by " +
                              userName(info.st_uid) + "; not following it");
            if (++links > 40)
                throw Failure("too many symbolic links in " + printable(path));
            char target[PATH_MAX];
            const ssize_t length = readlinkat(next.get(), "", target, sizeof target);
            if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
                throw Failure("cannot read the link " + printable(here));
            const std::string text(target, static_cast<std::size_t>(length));
            std::vector<std::string> more = components(text);
            todo.insert(todo.begin(), more.begin(), more.end());
            if (text.front() == '/') {
                current = openPath(AT_FDCWD, "/");
                parents.clear();
                walked.clear();
            }
            continue;
        }
        if (!S_ISDIR(info.st_mode))
            throw Failure(printable(here) + " is not a directory");
        checkSafe(info, here, !todo.empty());
        parents.push_back(std::move(current));
        current = std::move(next);
        walked.push_back(name);
    }
    Fd fd(openat(current.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        throw Failure("cannot open " + printable(path) + ": " + errorText(errno));
    return Directory(std::move(fd), joined(walked));
}

std::optional<Directory> Directory::openOwned(const std::string &path, bool make)
{
    std::optional<Directory> directory = openSafe(path, make, "the watch directory");
    if (directory)
        checkOwned(directory->fd(), directory->path());
    return directory;
}

Directory Directory::openPrivate(const std::string &given)
{
    const std::string path = given.substr(0, given.find_last_not_of('/') + 1);
    const std::size_t slash = path.rfind('/');
    std::optional<Directory> parent =
        openSafe(slash == 0 ? "/" : path.substr(0, slash), false, "the directory");
    if (!parent)
        throw Failure("cannot create " + printable(path) + ": " + errorText(ENOENT));
    const std::string name = path.substr(slash + 1);
    if (mkdirat(parent->fd(), name.c_str(), 0700) != 0 && errno != EEXIST)
        throw Failure("cannot create " + printable(path) + ": " + errorText(errno));
    Fd fd(openat(parent->fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw Failure("cannot open " + printable(path) + ": " + errorText(errno));
    checkOwned(fd.get(), path);
    struct stat info;
    if (fstat(fd.get(), &info) != 0 || (info.st_mode & 077) != 0)
        throw Failure(printable(path) + " may be entered by others; it must be 0700");
    return Directory(std::move(fd), parent->pathOf(name));
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

std::string Directory::readSmallFile(const std::string &name) const
{
    // Non-blocking: whatever the name is, a FIFO planted there never holds
    // the reader up.
    const Fd file(openat(fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    std::string text(4096, '\0');
    const ssize_t length = read(file.get(), text.data(), text.size());
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
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
