// Hosts one worker of the plug-in the way the host application does: the
// library loaded by path, worker_create resolved by name, the worker owned
// through its base type and destroyed before the library is unloaded.
#pragma once

#include <orva/cmworker.h>

#include <QLibrary>
#include <QStringList>

#include <memory>

class PluginHost
{
public:
    explicit PluginHost(const QString &pluginPath = QStringLiteral(ORVA_PLUGIN_PATH));
    ~PluginHost();

    // False, with errorString() set, when the library or its factory is missing.
    bool load();
    void unload();
    bool create(const QVariantHash &config);
    void destroy();
    QString errorString() const { return m_library.errorString(); }

    CMNodesWorker *worker() const { return static_cast<CMNodesWorker *>(m_worker.get()); }
    // What a host reads through the worker's request handlers.
    QVariantHash data(const QString &path) const;
    QStringList rows(const QString &path) const;

private:
    QLibrary m_library;
    CMWorkerCreateFunction m_factory = nullptr;
    std::unique_ptr<CMAbstractWorker> m_worker;
};
