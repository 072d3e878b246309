// SPDX-License-Identifier: MIT
// The tree, indented, redrawn on stdout when it changes; log lines on stderr.
// Names and labels come from whoever writes the watched directory: every
// text is shown through visible(), so none can move, retitle or clear the
// terminal or forge a line.
#pragma once

#include "eventview.h"

#include <cstdio>

// ANSI styles, or nothing when the stream is not a terminal.
class Palette
{
public:
    explicit Palette(std::FILE *stream);
    QByteArray paint(const char *style, const QString &text) const;

private:
    bool m_enabled;
};

class HumanView : public EventView
{
public:
    HumanView();
    void showLog(const LogRecord &record) override;
    void showReady(const QString &pluginPath) override;
    void showTree(const QVector<NodeView> &nodes) override;
    void showExit(int code) override;
    void showCaption(const QString &text) override;
    void showNote(const QString &text) override;

private:
    QByteArray renderNode(const NodeView &node, int depth) const;

    Palette m_outColours;
    Palette m_logColours;
};
