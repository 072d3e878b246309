// SPDX-License-Identifier: MIT
// The plug-in hosted as the host does (CMWorkerPlugin), with what a host reads
// of its tree through the inherited request handlers.
#pragma once

#include <orva/cmworkerplugin.h>

#include <QStringList>
#include <QVariantHash>

class PluginWorker : public CMWorkerPlugin
{
public:
    explicit PluginWorker(const QString &path = QStringLiteral(ORVA_PLUGIN_PATH));

    // Creates a worker (destroying any earlier one); null when loading failed.
    CMAbstractWorker *create(const QVariantHash &config);
    void destroy() { destroyWorker(); }
    CMNodesWorker *worker() const { return static_cast<CMNodesWorker *>(CMWorkerPlugin::worker()); }

    QVariantHash data(const QString &path) const;
    QStringList rows(const QString &path) const;
    // Paths of the live link nodes, sorted; titles in the same order.
    QStringList linkPaths() const;
    QStringList linkTitles() const;
};

// A config hash for a watched directory and prefix lists given as "pfx:Name".
QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes = {},
                        const QString &linkPrefix = QStringLiteral("/media/"));
