// SPDX-License-Identifier: MIT
#include "jsonview.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonObject nodeObject(const NodeView &node)
{
    QJsonObject object{{"path", node.path},
                       {"kind", node.kind},
                       {"title", node.title},
                       {"id", node.id},
                       {"description", node.description},
                       {"icon", node.icon},
                       {"playable", node.playable}};
    if (node.kind == QLatin1String("link"))
        object.insert("target", node.target);
    if (node.kind == QLatin1String("list"))
        object.insert("rows", QJsonArray::fromStringList(node.rows));
    return object;
}

} // namespace

void JsonView::writeEvent(const QString &event, QJsonObject fields)
{
    fields.insert("event", event);
    writeOut(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void JsonView::showLog(const LogRecord &record)
{
    writeEvent("log", {{"level", levelName(record.level)},
                       {"logger", record.logger},
                       {"message", record.message},
                       {"file", record.file},
                       {"line", record.line},
                       {"function", record.function}});
}

void JsonView::showReady(const QString &)
{
    writeEvent("ready");
}

void JsonView::showTree(const QVector<NodeView> &nodes)
{
    QJsonArray array;
    for (const NodeView &node : nodes)
        array.append(nodeObject(node));
    writeEvent("tree", {{"nodes", array}});
}

void JsonView::showExit(int code)
{
    writeEvent("exit", {{"code", code}});
}

void JsonView::showCaption(const QString &text)
{
    showNote(text);
}

void JsonView::showNote(const QString &text)
{
    writeErr(visible(text).toUtf8() + '\n');
}
