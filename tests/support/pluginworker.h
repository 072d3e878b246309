// Loads the plug-in the way the host does: by path, worker_create by name, the
// worker owned through its base type and destroyed before the library goes.
#pragma once

#include <orva/cmworker.h>

#include <QLibrary>
#include <QStringList>
#include <QVariantHash>

#include <memory>

class PluginWorker
{
public:
    PluginWorker();
    ~PluginWorker();

    // Creates a worker (destroying any earlier one); null when loading failed.
    CMAbstractWorker *create(const QVariantHash &config);
    void destroy();
    CMNodesWorker *worker() const { return static_cast<CMNodesWorker *>(m_worker.get()); }
    QString errorString() const { return m_library.errorString(); }

    // What a host reads through the inherited request handlers.
    QVariantHash data(const QString &path) const;
    QStringList rows(const QString &path) const;
    // Paths of the live link nodes, sorted; titles in the same order.
    QStringList linkPaths() const;
    QStringList linkTitles() const;

private:
    QLibrary m_library;
    std::unique_ptr<CMAbstractWorker> m_worker;
};

// A config hash for a watched directory and prefix lists given as "pfx:Name".
QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes = {},
                        const QString &linkPrefix = QStringLiteral("/media/"));
