// SPDX-License-Identifier: MIT
#include "orva/cmworkerplugin.h"

#include <exception>

CMWorkerPlugin::CMWorkerPlugin(const QString &path) : m_library(path) {}

CMWorkerPlugin::~CMWorkerPlugin()
{
    unload();
}

bool CMWorkerPlugin::createWorker(const QVariantHash &config)
{
    destroyWorker();
    if (!m_library.load()) {
        m_error = m_library.errorString();
        return false;
    }
    const auto create =
        reinterpret_cast<CMWorkerCreateFunction>(m_library.resolve(kWorkerCreateSymbol));
    if (!create) {
        // QLibrary leaves its error text unset when only the symbol is missing.
        m_error = QStringLiteral("%1 exports no %2")
                      .arg(m_library.fileName(), QLatin1String(kWorkerCreateSymbol));
        return false;
    }
    try {
        m_worker.reset(create(nullptr, config));
    } catch (const std::exception &e) {
        m_error = QStringLiteral("%1 failed: %2")
                      .arg(QLatin1String(kWorkerCreateSymbol), QString::fromLocal8Bit(e.what()));
        return false;
    }
    if (!m_worker) {
        m_error = QStringLiteral("%1 in %2 returned no worker")
                      .arg(QLatin1String(kWorkerCreateSymbol), m_library.fileName());
        return false;
    }
    m_error.clear();
    return true;
}

CMNodes *CMWorkerPlugin::nodes() const
{
    auto *nodesWorker = qobject_cast<CMNodesWorker *>(m_worker.get());
    return nodesWorker ? nodesWorker->nodes() : nullptr;
}

void CMWorkerPlugin::destroyWorker()
{
    m_worker.reset();
}

void CMWorkerPlugin::unload()
{
    destroyWorker();
    if (m_library.isLoaded())
        m_library.unload();
}
