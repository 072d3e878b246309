// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

class QSocketNotifier;

// What a path names, following symbolic links: the object's device and
// inode, and whether it is a directory. Two of them differ when the path has
// come to name another object, or none.
struct PathIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;
    bool isDirectory = false;

    static PathIdentity of(const QString &path);
    bool operator==(const PathIdentity &other) const;
    bool operator!=(const PathIdentity &other) const { return !(*this == other); }
};

// Tells when a path may have come to name another object: its own watch
// does not see the directory being renamed away, replaced, or mounted over.
// Listens to the entries of every directory above the path and to the mount
// table, so it costs nothing while nothing changes. Only while a watch
// cannot be set up for want of resources (the system's inotify limits), which
// no event announces the end of, does it also ask to be checked again every
// half second.
class PathFollower : public QObject
{
    Q_OBJECT
public:
    explicit PathFollower(const QString &path, QObject *parent = nullptr);

    // 0 when path can be given an inotify watch as a directory, else the
    // errno that inotify answers. Asked before a QFileSystemWatcher is told to
    // add the path, which would warn on stderr at every attempt.
    static int watchError(const QString &path);
    static bool isResourceShortage(int error);

    // While on, changed() comes again every half second.
    void setRetrying(bool retrying);

signals:
    void changed();

private:
    void watchAncestors();
    void updateRetry();
    void onChange();

    QString m_path;
    QFileSystemWatcher m_ancestors;
    QHash<QString, PathIdentity> m_ancestorIds; // what each watched ancestor named
    QFile m_mountTable;
    QSocketNotifier *m_mountNotifier = nullptr;
    QTimer m_retry;
    bool m_retryAsked = false;     // the watched path's own watch is short
    bool m_ancestorsShort = false; // an ancestor's watch is
};
