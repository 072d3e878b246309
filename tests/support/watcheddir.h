// SPDX-License-Identifier: MIT
// A real temporary directory watched by a plug-in worker, with helpers to
// change it and to read what the worker shows of it.
#pragma once

#include "logcapture.h"
#include "pluginworker.h"
#include "testconfig.h"

#include <QTemporaryDir>

class WatchedDir
{
public:
    WatchedDir();
    // Watches a subdirectory of the temporary one, so that a test may rename
    // it away, replace it or mount over it and still leave nothing behind.
    explicit WatchedDir(const QString &subdirectory);

    // The temporary directory that holds everything, the watched one or its parent.
    QString root() const { return m_root; }

    QString path() const { return m_path; }
    QString filePath(const QString &name) const { return m_path + QLatin1Char('/') + name; }

    bool mkdir(const QString &name) const;
    bool rmdir(const QString &name) const;
    bool writeFile(const QString &name, const QByteArray &bytes) const;

    // Starts a worker on this directory; links go under "/media/".
    bool start(const QStringList &linkPrefixes, const QStringList &notifPrefixes = {});

    LogCapture &log() { return m_log; }
    PluginWorker &plugin() { return m_plugin; }
    QObject *worker() const { return m_plugin.worker(); }
    WorkerTree tree() const { return m_plugin.tree(); }
    QStringList rows() const;
    QStringList titles() const { return tree().linkTitles(); }

private:
    QTemporaryDir m_tmp;
    QString m_root;
    QString m_path;
    LogCapture m_log;
    PluginWorker m_plugin;
};

// The list's path, the node and row path of an entry, and the notification
// node's path.
extern const QString kListPath;
QString linkPath(const QString &name);
extern const QString kNotificationPath;
