// SPDX-License-Identifier: MIT
#include "humanview.h"

#include <QTime>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr char kBold[] = "1";
constexpr char kDim[] = "2";
constexpr char kRed[] = "31";
constexpr char kGreen[] = "32";
constexpr char kYellow[] = "1;33";
constexpr char kCyan[] = "36";

const char *levelStyle(const QString &level)
{
    if (level == QLatin1String("ERROR") || level == QLatin1String("FATAL"))
        return kRed;
    if (level == QLatin1String("WARN"))
        return kYellow;
    if (level == QLatin1String("INFO"))
        return kGreen;
    return kDim;
}

int depthOf(const QString &path)
{
    return int(path.count(QLatin1Char('/')));
}

QByteArray indent(int columns)
{
    return QByteArray(columns, ' ');
}

QString now()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

} // namespace

Palette::Palette(std::FILE *stream)
    : m_enabled(::isatty(::fileno(stream)) && !std::getenv("NO_COLOR") &&
                qstrcmp(std::getenv("TERM"), "dumb") != 0)
{
}

QByteArray Palette::paint(const char *style, const QString &text) const
{
    if (!m_enabled)
        return text.toUtf8();
    return "\033[" + QByteArray(style) + 'm' + text.toUtf8() + "\033[0m";
}

HumanView::HumanView() : m_outColours(stdout), m_logColours(stderr) {}

void HumanView::showLog(const LogRecord &record)
{
    const QString level = levelName(record.level);
    writeErr(m_logColours.paint(kDim, now()) + ' ' +
             m_logColours.paint(levelStyle(level), level.leftJustified(5)) + ' ' +
             m_logColours.paint(kCyan, visible(record.logger)) + ": " +
             visible(record.message).toUtf8() + '\n');
}

void HumanView::showReady(const QString &pluginPath)
{
    writeOut(m_outColours.paint(
                 kDim, QStringLiteral("Worker ready (plug-in %1)").arg(visible(pluginPath))) +
             '\n');
}

QByteArray HumanView::renderNode(const NodeView &node, int depth) const
{
    const QString title = node.title.isEmpty() ? QStringLiteral("(untitled)") : visible(node.title);
    QByteArray text = indent(2 * depth) + m_outColours.paint(kBold, title) + "  " +
                      m_outColours.paint(kDim, QStringLiteral("(%1 %2)").arg(visible(node.kind),
                                                                             visible(node.path))) +
                      '\n';
    QStringList details;
    if (!node.id.isEmpty())
        details << QStringLiteral("id: ") + visible(node.id);
    if (!node.description.isEmpty())
        details << QStringLiteral("description: ") + visible(node.description);
    if (!node.icon.isEmpty())
        details << QStringLiteral("icon: ") + visible(node.icon);
    if (node.kind == QLatin1String("link"))
        details << QStringLiteral("target: ") + visible(node.target);
    if (node.playable)
        details << QStringLiteral("playable");
    const QByteArray pad = indent(2 * depth + 4);
    if (!details.isEmpty())
        text += pad + details.join(QStringLiteral("   ")).toUtf8() + '\n';
    if (node.kind == QLatin1String("list")) {
        if (node.rows.isEmpty())
            text += pad + "rows: (none)\n";
        for (int i = 0; i < node.rows.size(); ++i)
            text += pad + (i == 0 ? "rows: " : "      ") + visible(node.rows.at(i)).toUtf8() + '\n';
    }
    return text;
}

void HumanView::showTree(const QVector<NodeView> &nodes)
{
    const auto shallower = [](const NodeView &a, const NodeView &b) {
        return depthOf(a.path) < depthOf(b.path);
    };
    const int top = nodes.isEmpty()
                        ? 0
                        : depthOf(std::min_element(nodes.begin(), nodes.end(), shallower)->path);
    const QString header = QStringLiteral("--- tree at %1, %2 %3 ---")
                               .arg(now())
                               .arg(nodes.size())
                               .arg(QLatin1String(nodes.size() == 1 ? "node" : "nodes"));
    QByteArray text = m_outColours.paint(kDim, header) + '\n';
    for (const NodeView &node : nodes)
        text += renderNode(node, depthOf(node.path) - top);
    writeOut(text);
}

void HumanView::showExit(int) {}

// A caption is the runner's own text, over several lines, with a path in it.
void HumanView::showCaption(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = visible(line);
    writeOut('\n' + m_outColours.paint(kYellow, QStringLiteral(">>> ") + lines.join('\n')) + '\n');
}

void HumanView::showNote(const QString &text)
{
    writeErr(visible(text).toUtf8() + '\n');
}
