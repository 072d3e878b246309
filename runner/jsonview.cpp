// SPDX-License-Identifier: MIT
#include "jsonview.h"

#include "jsonline.h"

JsonView::JsonView(std::FILE *out, std::FILE *notes) : m_out(out), m_notes(notes) {}

void JsonView::writeLine(const QByteArray &json)
{
    std::fwrite(json.constData(), 1, size_t(json.size()), m_out);
    std::fputc('\n', m_out);
    // Readers act on each line as it comes.
    std::fflush(m_out);
}

void JsonView::showLog(const LogEntry &entry)
{
    writeLine(JsonLine()
                  .string("event", QStringLiteral("log"))
                  .string("level", entry.level)
                  .string("logger", entry.logger)
                  .string("message", entry.message)
                  .string("file", entry.file)
                  .number("line", entry.line)
                  .string("function", entry.function)
                  .toJson());
}

void JsonView::showReady(const QString &)
{
    writeLine(JsonLine().string("event", QStringLiteral("ready")).toJson());
}

QByteArray JsonView::nodeJson(const NodeView &node)
{
    JsonLine line;
    line.string("path", node.path)
        .string("kind", node.kind)
        .string("title", node.title)
        .string("id", node.id)
        .string("description", node.description)
        .string("icon", node.icon)
        .boolean("playable", node.playable);
    if (node.kind == QLatin1String("link"))
        line.string("target", node.target);
    if (node.kind == QLatin1String("list"))
        line.strings("rows", node.rows);
    return line.toJson();
}

void JsonView::showTree(const QVector<NodeView> &nodes)
{
    QList<QByteArray> items;
    for (const NodeView &node : nodes)
        items.append(nodeJson(node));
    writeLine(JsonLine()
                  .string("event", QStringLiteral("tree"))
                  .raw("nodes", JsonLine::array(items))
                  .toJson());
}

void JsonView::showExit(int code)
{
    writeLine(JsonLine().string("event", QStringLiteral("exit")).number("code", code).toJson());
}

void JsonView::showCaption(const QString &text)
{
    showNote(text);
}

void JsonView::showNote(const QString &text)
{
    std::fprintf(m_notes, "%s\n", text.toLocal8Bit().constData());
    std::fflush(m_notes);
}
