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

// Every directory above path, nearest first, "/" last.
QStringList ancestorsOf(const QString &path)
{
    QStringList ancestors;
    QString current = path;
    while (current != QLatin1String("/") && !current.isEmpty()) {
        current = QFileInfo(current).path();
        ancestors.append(current);
    }
    return ancestors;
}

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
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return errno;
    const int wd =
        inotify_add_watch(fd, QFile::encodeName(path).constData(), IN_ONLYDIR | IN_CREATE);
    const int error = wd < 0 ? errno : 0;
    ::close(fd);
    return error;
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
