#include "pluginhost.h"

PluginHost::PluginHost(const QString &pluginPath) : m_library(pluginPath) {}

PluginHost::~PluginHost()
{
    unload();
}

bool PluginHost::load()
{
    if (!m_library.load())
        return false;
    m_factory = reinterpret_cast<CMWorkerCreateFunction>(m_library.resolve(kWorkerCreateSymbol));
    return m_factory != nullptr;
}

void PluginHost::unload()
{
    destroy();
    m_factory = nullptr;
    if (m_library.isLoaded())
        m_library.unload();
}

bool PluginHost::create(const QVariantHash &config)
{
    destroy();
    if (!m_factory)
        return false;
    m_worker.reset(m_factory(nullptr, config));
    return m_worker != nullptr;
}

void PluginHost::destroy()
{
    m_worker.reset();
}

QVariantHash PluginHost::data(const QString &path) const
{
    return m_worker->request(QStringLiteral("data"), CMPath::fromEncoded(path)).toHash();
}

QStringList PluginHost::rows(const QString &path) const
{
    QStringList result;
    const QVariantList rows =
        m_worker->request(QStringLiteral("rows"), CMPath::fromEncoded(path)).toList();
    for (const QVariant &row : rows)
        result.append(row.toString());
    return result;
}
