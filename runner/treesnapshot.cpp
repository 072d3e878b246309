// SPDX-License-Identifier: MIT
#include "treesnapshot.h"

#include <orva/cmworker.h>

namespace {

NodeView readNode(CMAbstractWorker &worker, const QString &path)
{
    const CMPath nodePath = CMPath::fromEncoded(path);
    const QVariantHash data = worker.request(QStringLiteral("data"), nodePath).toHash();
    NodeView view;
    view.path = path;
    view.kind = data.value(QStringLiteral("kind")).toString();
    view.title = data.value(QStringLiteral("title")).toString();
    view.id = data.value(QStringLiteral("id")).toString();
    view.description = data.value(QStringLiteral("description")).toString();
    view.icon = data.value(QStringLiteral("icon")).toString();
    view.playable = data.value(QStringLiteral("playable")).toBool();
    if (view.kind == QLatin1String("link"))
        view.target = data.value(QStringLiteral("target")).toString();
    if (view.kind == QLatin1String("list"))
        view.rows = worker.request(QStringLiteral("rows"), nodePath).toStringList();
    return view;
}

} // namespace

QVector<NodeView> readTree(CMAbstractWorker &worker, const CMNodes &nodes)
{
    QVector<NodeView> views;
    for (const CMNode *node : nodes.allNodes()) {
        const QString path = node->path().toEncoded();
        if (views.isEmpty() || views.constLast().path != path)
            views.append(readNode(worker, path));
    }
    return views;
}
