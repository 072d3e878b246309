// SPDX-License-Identifier: MIT
#include "pluginworker.h"

PluginWorker::PluginWorker(const QString &path) : CMWorkerPlugin(path) {}

CMAbstractWorker *PluginWorker::create(const QVariantHash &config)
{
    return createWorker(config) ? CMWorkerPlugin::worker() : nullptr;
}

QVariantHash PluginWorker::data(const QString &path) const
{
    return worker()->request(QStringLiteral("data"), CMPath::fromEncoded(path)).toHash();
}

QStringList PluginWorker::rows(const QString &path) const
{
    QStringList result;
    const QVariantList rows =
        worker()->request(QStringLiteral("rows"), CMPath::fromEncoded(path)).toList();
    for (const QVariant &row : rows)
        result.append(row.toString());
    return result;
}

QStringList PluginWorker::linkPaths() const
{
    QStringList result;
    for (const CMNode *node : worker()->nodes()->allNodes())
        if (node->kind() == QLatin1String("link"))
            result.append(node->path().toEncoded());
    return result;
}

QStringList PluginWorker::linkTitles() const
{
    QStringList result;
    for (const QString &path : linkPaths())
        result.append(data(path).value(QStringLiteral("title")).toString());
    return result;
}

static QVariantList prefixItems(const QStringList &pairs)
{
    QVariantList items;
    for (const QString &pair : pairs) {
        const int colon = pair.indexOf(QLatin1Char(':'));
        items.append(QStringList{pair.left(colon), pair.mid(colon + 1)});
    }
    return items;
}

QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes, const QString &linkPrefix)
{
    return {{QStringLiteral("watchPath"), watchPath},
            {QStringLiteral("linkPrefix"), linkPrefix},
            {QStringLiteral("watchPrefixes"), prefixItems(linkPrefixes)},
            {QStringLiteral("watchNotifications"), prefixItems(notifPrefixes)}};
}
