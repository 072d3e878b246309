// SPDX-License-Identifier: MIT
#include "workertree.h"

QVariantHash WorkerTree::data(const QString &path) const
{
    return m_worker->request(QStringLiteral("data"), CMPath::fromEncoded(path)).toHash();
}

QStringList WorkerTree::rows(const QString &path) const
{
    QStringList result;
    const QVariantList rows =
        m_worker->request(QStringLiteral("rows"), CMPath::fromEncoded(path)).toList();
    for (const QVariant &row : rows)
        result.append(row.toString());
    return result;
}

QList<const CMNode *> WorkerTree::links() const
{
    QList<const CMNode *> result;
    for (const CMNode *node : m_worker->nodes()->allNodes())
        if (node->kind() == QLatin1String("link"))
            result.append(node);
    return result;
}

QStringList WorkerTree::linkPaths() const
{
    QStringList result;
    for (const CMNode *node : links())
        result.append(node->path().toEncoded());
    return result;
}

QStringList WorkerTree::linkTitles() const
{
    QStringList result;
    for (const QString &path : linkPaths())
        result.append(data(path).value(QStringLiteral("title")).toString());
    return result;
}

QStringList WorkerTree::unresolvedRows() const
{
    QStringList result;
    for (const CMNode *node : m_worker->nodes()->allNodes()) {
        if (node->kind() != QLatin1String("list"))
            continue;
        for (const QString &row : rows(node->path().toEncoded()))
            if (data(row).isEmpty())
                result.append(row);
    }
    return result;
}
