// Loads a worker plug-in as the host does: by path, worker_create by name, the
// worker owned through its base type and destroyed before the library goes.
#pragma once

#include <orva/cmworker.h>

#include <QLibrary>
#include <QString>
#include <QVariantHash>

#include <memory>

class PluginLoader
{
public:
    explicit PluginLoader(const QString &path);
    ~PluginLoader();
    PluginLoader(const PluginLoader &) = delete;
    PluginLoader &operator=(const PluginLoader &) = delete;

    // The plug-in built or installed beside the running executable.
    static QString defaultPath();

    // Loads the library and calls worker_create; on failure error says why.
    bool createWorker(const QVariantHash &config, QString &error);
    CMAbstractWorker *worker() const { return m_worker.get(); }
    // The worker's node registry; null for a worker that publishes no nodes.
    CMNodes *nodes() const;
    // Destroys the worker, then unloads the library.
    void unload();

private:
    QLibrary m_library;
    std::unique_ptr<CMAbstractWorker> m_worker;
};
