// SPDX-License-Identifier: MIT
// The plug-in hosted as the host does: loaded by path through the host
// stand-in's CMWorkerPlugin, its worker_create resolved by name.
#pragma once

#include "workertree.h"

#include <orva/cmworkerplugin.h>

#include <QString>
#include <QVariantHash>

class PluginWorker : public CMWorkerPlugin
{
public:
    // The plug-in of this build tree; a target that hosts it depends on
    // orva_cb_storagelink so that it is there.
    static QString builtPluginPath();

    explicit PluginWorker(const QString &path = builtPluginPath());

    // Creates a worker (destroying any earlier one); null when loading failed.
    CMAbstractWorker *create(const QVariantHash &config);
    void destroy() { destroyWorker(); }
    CMNodesWorker *worker() const { return static_cast<CMNodesWorker *>(CMWorkerPlugin::worker()); }
    // What a host reads of the current worker's tree; only while there is one.
    WorkerTree tree() const { return WorkerTree(worker()); }
};
