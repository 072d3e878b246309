#include "pluginloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <exception>

PluginLoader::PluginLoader(const QString &path) : m_library(path) {}

PluginLoader::~PluginLoader()
{
    unload();
}

QString PluginLoader::defaultPath()
{
    // The build tree mirrors the installed layout; the two differ only when
    // the install's library folder is not "lib".
    const QString relative = QStringLiteral(ORVA_PLUGIN_SUBDIR "/" ORVA_PLUGIN_FILE);
    const QDir bin(QCoreApplication::applicationDirPath());
    const QStringList candidates{
        bin.absoluteFilePath(QStringLiteral("../lib/") + relative),
        bin.absoluteFilePath(QStringLiteral("../" ORVA_INSTALL_LIBDIR "/") + relative)};
    for (const QString &candidate : candidates)
        if (QFileInfo::exists(candidate))
            return QDir::cleanPath(candidate);
    return QDir::cleanPath(candidates.first());
}

bool PluginLoader::createWorker(const QVariantHash &config, QString &error)
{
    if (!m_library.load()) {
        error = m_library.errorString();
        return false;
    }
    const auto create =
        reinterpret_cast<CMWorkerCreateFunction>(m_library.resolve(kWorkerCreateSymbol));
    if (!create) {
        // QLibrary leaves its error text unset when only the symbol is missing.
        error = QStringLiteral("%1 exports no %2")
                    .arg(m_library.fileName(), QLatin1String(kWorkerCreateSymbol));
        return false;
    }
    try {
        m_worker.reset(create(nullptr, config));
    } catch (const std::exception &e) {
        error = QStringLiteral("%1 failed: %2")
                    .arg(QLatin1String(kWorkerCreateSymbol), QString::fromLocal8Bit(e.what()));
        return false;
    }
    if (!m_worker) {
        error = QStringLiteral("%1 in %2 returned no worker")
                    .arg(QLatin1String(kWorkerCreateSymbol), m_library.fileName());
        return false;
    }
    if (!nodes()) {
        error = QStringLiteral("the worker of %1 publishes no node tree").arg(m_library.fileName());
        return false;
    }
    return true;
}

CMNodes *PluginLoader::nodes() const
{
    auto *nodesWorker = qobject_cast<CMNodesWorker *>(m_worker.get());
    return nodesWorker ? nodesWorker->nodes() : nullptr;
}

void PluginLoader::unload()
{
    m_worker.reset();
    if (m_library.isLoaded())
        m_library.unload();
}
