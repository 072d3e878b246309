// SPDX-License-Identifier: MIT
// The host's plug-in loader: a worker plug-in loaded by path, worker_create
// resolved by name, the worker owned through its base type and destroyed
// before the library goes.
#pragma once

#include "cmworker.h"

#include <orva/orva_api_export.h>

#include <QLibrary>
#include <QString>
#include <QVariantHash>

#include <memory>

class ORVA_API_EXPORT CMWorkerPlugin
{
public:
    explicit CMWorkerPlugin(const QString &path);
    ~CMWorkerPlugin();
    CMWorkerPlugin(const CMWorkerPlugin &) = delete;
    CMWorkerPlugin &operator=(const CMWorkerPlugin &) = delete;

    // Loads the library when needed and calls worker_create, destroying any
    // worker made before; on failure errorString() says why.
    bool createWorker(const QVariantHash &config);
    CMAbstractWorker *worker() const { return m_worker.get(); }
    // The worker's node registry; null for a worker that publishes no nodes.
    CMNodes *nodes() const;
    QString errorString() const { return m_error; }
    QString fileName() const { return m_library.fileName(); }

    void destroyWorker();
    // Destroys the worker, then unloads the library.
    void unload();

private:
    QLibrary m_library;
    std::unique_ptr<CMAbstractWorker> m_worker;
    QString m_error;
};
