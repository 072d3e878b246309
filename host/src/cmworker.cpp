// SPDX-License-Identifier: MIT
#include "orva/cmworker.h"

#include <log4cplus/loggingmacros.h>

// --- CMAbstractWorker ------------------------------------------------------

CMAbstractWorker::CMAbstractWorker(const QVariantHash &config, const QString &name)
    : m_name(name), m_config(config)
{
}

CMAbstractWorker::~CMAbstractWorker() = default;

QVariant CMAbstractWorker::request(const QString &type, const CMPath &path,
                                   const QVariant &argument)
{
    if (m_tracing) {
        static const log4cplus::Logger logger = log4cplus::Logger::getInstance("orva.host");
        LOG4CPLUS_DEBUG(logger, "request " << type << " " << path);
    }
    if (type == QLatin1String("ping"))
        return ping();
    if (type == QLatin1String("data"))
        return getDataRequest(path);
    if (type == QLatin1String("rows"))
        return getRowsRequest(path);
    if (type == QLatin1String("match"))
        return matchRowRequest(path, argument);
    if (type == QLatin1String("set"))
        return setDataRequest(path, argument.toHash());
    return QVariant();
}

int CMAbstractWorker::connectValueChange(const CMPath &path, CMChangeHandler handler)
{
    return subscribe(ChangeKind::Value, path, std::move(handler));
}

bool CMAbstractWorker::disconnectValueChange(int id)
{
    return unsubscribe(ChangeKind::Value, id);
}

int CMAbstractWorker::connectDataChange(const CMPath &path, CMChangeHandler handler)
{
    return subscribe(ChangeKind::Data, path, std::move(handler));
}

bool CMAbstractWorker::disconnectDataChange(int id)
{
    return unsubscribe(ChangeKind::Data, id);
}

int CMAbstractWorker::connectRowsChange(const CMPath &path, CMChangeHandler handler)
{
    return subscribe(ChangeKind::Rows, path, std::move(handler));
}

bool CMAbstractWorker::disconnectRowsChange(int id)
{
    return unsubscribe(ChangeKind::Rows, id);
}

int CMAbstractWorker::subscribe(ChangeKind kind, const CMPath &path, CMChangeHandler handler)
{
    if (!handler)
        return 0;
    const int id = m_nextId++;
    m_subscriptions.append({id, kind, path, std::move(handler)});
    return id;
}

bool CMAbstractWorker::unsubscribe(ChangeKind kind, int id)
{
    for (int i = 0; i < m_subscriptions.size(); ++i) {
        if (m_subscriptions.at(i).id == id && m_subscriptions.at(i).kind == kind) {
            m_subscriptions.removeAt(i);
            return true;
        }
    }
    return false;
}

void CMAbstractWorker::publishChange(ChangeKind kind, const CMPath &path)
{
    if (m_subscriptions.isEmpty())
        return;
    // A handler may subscribe or unsubscribe: walk a copy.
    const QList<Subscription> subscriptions = m_subscriptions;
    for (const Subscription &s : subscriptions) {
        const bool hit = s.kind == ChangeKind::Any ? path.startsWith(s.path)
                                                   : (s.kind == kind && path == s.path);
        if (hit)
            s.handler(path);
    }
}

// --- CMWorker --------------------------------------------------------------

CMWorker::CMWorker(const QVariantHash &config, const QString &name)
    : CMAbstractWorker(config, name),
      m_prefix(config.value(QLatin1String(kWorkerPrefixKey)).toString())
{
    if (m_prefix.isEmpty())
        m_prefix = QLatin1Char('/') + name;
}

CMPath CMWorker::addPrefix(const QString &name) const
{
    const CMPath prefix = CMPath::fromEncoded(m_prefix);
    return name.isEmpty() ? prefix : prefix + QStringLiteral("/") + name;
}

bool CMWorker::ping()
{
    return true;
}

void CMWorker::trace(bool enabled)
{
    setTracing(enabled);
}

// --- CMNodesWorker ---------------------------------------------------------

CMNodesWorker::CMNodesWorker(const QVariantHash &config, const QString &name)
    : CMWorker(config, name)
{
    connect(&m_nodes, &CMNodes::changed, this, &CMNodesWorker::relayChange);
}

CMNodesWorker::~CMNodesWorker()
{
    disconnect(&m_nodes, nullptr, this, nullptr);
}

QVariantHash CMNodesWorker::getDataRequest(const CMPath &path)
{
    const CMNode *node = m_nodes.node(path);
    return node ? node->data() : QVariantHash();
}

QVariantList CMNodesWorker::getRowsRequest(const CMPath &path)
{
    const CMNode *node = m_nodes.node(path);
    if (const auto *link = dynamic_cast<const CMLinkRowsNode *>(node))
        node = link->target() == path ? nullptr : m_nodes.node(link->target());
    const auto *list = dynamic_cast<const CMListRowsNode *>(node);
    return list ? list->rows() : QVariantList();
}

int CMNodesWorker::matchRowRequest(const CMPath &path, const QVariant &value)
{
    return getRowsRequest(path).indexOf(value);
}

bool CMNodesWorker::setDataRequest(const CMPath &path, const QVariantHash &values)
{
    CMNode *node = m_nodes.node(path);
    if (!node)
        return false;
    bool all = true;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        all = node->setData(it.key(), it.value()) && all;
    return all;
}

int CMNodesWorker::connectChange(const CMPath &path, CMChangeHandler handler)
{
    return subscribe(ChangeKind::Any, path, std::move(handler));
}

bool CMNodesWorker::disconnectChange(int id)
{
    return unsubscribe(ChangeKind::Any, id);
}

void CMNodesWorker::relayChange(const CMPath &path, CMNodes::Change change)
{
    switch (change) {
    case CMNodes::NodeAdded:
    case CMNodes::NodeRemoved:
        publishChange(ChangeKind::Value, path);
        break;
    case CMNodes::DataChanged:
        publishChange(ChangeKind::Data, path);
        break;
    case CMNodes::RowsChanged:
        publishChange(ChangeKind::Rows, path);
        break;
    }
}
