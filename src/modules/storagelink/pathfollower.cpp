// SPDX-License-Identifier: MIT
#include "pathfollower.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kRetryMs = 500;

// Every directory above path, nearest first, "/" last for an absolute path.
// The climb ends where a step no longer changes the path ("/", ".", or
// whatever else QFileInfo takes for its own parent), whatever the path is.
QStringList ancestorsOf(const QString &path)
{
    QStringList ancestors;
    QString current = path;
    for (;;) {
        const QString parent = QFileInfo(current).path();
        if (parent == current || parent.isEmpty())
            return ancestors;
        ancestors.append(parent);
        current = parent;
    }
}

// An inotify instance that only asks whether a path takes a watch: it adds
// one and takes it off again at once. Closing an instance that has held a
// watch waits for the kernel to retire it, a grace period of milliseconds,
// so the plug-in keeps one for all its questions rather than one for each.
class InotifyProbe
{
public:
    InotifyProbe() : m_fd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}
    ~InotifyProbe()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    InotifyProbe(const InotifyProbe &) = delete;
    InotifyProbe &operator=(const InotifyProbe &) = delete;

    bool isValid() const { return m_fd >= 0; }

    int watchError(const QString &path) const
    {
        const int wd =
            inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_ONLYDIR | IN_CREATE);
        if (wd < 0)
            return errno;
        inotify_rm_watch(m_fd, wd);
        discardEvents();
        return 0;
    }

private:
    // Taking a watch off queues an event; nobody wants it.
    void discardEvents() const
    {
        char events[1024];
        while (::read(m_fd, events, sizeof events) > 0) {
        }
    }

    const int m_fd;
};

} // namespace

PathIdentity PathIdentity::of(const QString &path)
{
    PathIdentity id;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.exists = true;
    id.isDirectory = S_ISDIR(st.st_mode);
    return id;
}

bool PathIdentity::operator==(const PathIdentity &other) const
{
    if (!exists || !other.exists)
        return exists == other.exists;
    return device == other.device && inode == other.inode && isDirectory == other.isDirectory;
}

PathFollower::PathFollower(const QString &path, QObject *parent) : QObject(parent), m_path(path)
{
    connect(&m_ancestors, &QFileSystemWatcher::directoryChanged, this, &PathFollower::onChange);

    // The kernel flags a change of this process's mounts as an exceptional
    // condition on the table's descriptor; poll() itself clears the flag.
    m_mountTable.setFileName(QStringLiteral("/proc/self/mountinfo"));
    if (m_mountTable.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        m_mountNotifier =
            new QSocketNotifier(m_mountTable.handle(), QSocketNotifier::Exception, this);
        connect(m_mountNotifier, &QSocketNotifier::activated, this, &PathFollower::onChange);
    }

    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &PathFollower::onChange);
    watchAncestors();
}

int PathFollower::watchError(const QString &path)
{
    static const InotifyProbe shared;
    if (shared.isValid())
        return shared.watchError(path);
    // No instance to spare at load time: one for this question alone.
    const InotifyProbe own;
    return own.isValid() ? own.watchError(path) : errno;
}

bool PathFollower::isResourceShortage(int error)
{
    return error == ENOSPC || error == ENOMEM || error == EMFILE || error == ENFILE;
}

void PathFollower::setRetrying(bool retrying)
{
    m_retryAsked = retrying;
    updateRetry();
}

void PathFollower::updateRetry()
{
    if (!m_retryAsked && !m_ancestorsShort)
        m_retry.stop();
    else if (!m_retry.isActive())
        m_retry.start();
}

// A watch stays with the directory it was set on: an ancestor renamed away
// and made anew needs a watch of its own again.
void PathFollower::watchAncestors()
{
    m_ancestorsShort = false;
    const QStringList watched = m_ancestors.directories();
    for (const QString &ancestor : ancestorsOf(m_path)) {
        const PathIdentity id = PathIdentity::of(ancestor);
        const bool isWatched = watched.contains(ancestor);
        if (isWatched && id == m_ancestorIds.value(ancestor))
            continue;
        if (isWatched)
            m_ancestors.removePath(ancestor);
        m_ancestorIds.remove(ancestor);
        if (!id.isDirectory)
            continue;
        const int error = watchError(ancestor);
        if (error == 0 && m_ancestors.addPath(ancestor))
            m_ancestorIds.insert(ancestor, id);
        else
            m_ancestorsShort = m_ancestorsShort || isResourceShortage(error);
    }
    updateRetry();
}

void PathFollower::onChange()
{
    watchAncestors();
    emit changed();
}
