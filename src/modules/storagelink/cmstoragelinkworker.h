// SPDX-License-Identifier: MIT
#pragma once

#include "pathfollower.h"

#include <orva/cmworker.h>

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

// Publishes one link node and one list row per subdirectory of a watched
// directory whose name starts with a configured prefix, and a short-lived
// "Attaching new device..." row while a device appears.
class CMStorageLinkWorker : public CMNodesWorker
{
    Q_OBJECT
public:
    // One configured prefix with the numbering of the links made under it.
    struct WatchPrefix
    {
        QString prefix;
        QString name;
        int count = 0; // live links counted under this record
        int seq = 0;   // last number put into a title
    };

    explicit CMStorageLinkWorker(const QVariantHash &config);
    ~CMStorageLinkWorker() override;

    static int hexToDigit(char c);
    static QByteArray decodeEscape(const QByteArray &in);

private slots:
    void dirChanged(const QString &dir);
    void removeNotificationNode();

private:
    static QString labelText(const QString &line);
    void followWatchPath();
    void followPath();

    QString m_watchPath;
    QList<WatchPrefix> m_linkPrefixes;
    QList<WatchPrefix> m_notifPrefixes;
    CMPath m_linkPrefix;
    CMListRowsNode *m_listNode = nullptr;
    QFileSystemWatcher *m_watcher = nullptr;
    // Multi-valued insertion, though a name never holds more than one node.
    QMultiHash<QString, CMNode *> m_links;
    QStringList m_notifList;
    CMUINode *m_notifNode = nullptr;
    bool m_notifShown = false;
    QTimer m_notifTimer;
    // Tells when the watched path may name another directory than the one
    // watched; absent while the path names no directory at construction.
    PathFollower *m_follower = nullptr;
    PathIdentity m_watchedId; // what the path named when last looked at
    bool m_watchLost = false; // the path has no watch of its own
};
