// SPDX-License-Identifier: MIT
// The tree, indented, redrawn on stdout when it changes; log lines on stderr.
#pragma once

#include "eventview.h"

#include <QByteArray>

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
    HumanView(std::FILE *out = stdout, std::FILE *log = stderr);

    void showLog(const LogEntry &entry) override;
    void showReady(const QString &pluginPath) override;
    void showTree(const QVector<NodeView> &nodes) override;
    void showExit(int code) override;
    void showCaption(const QString &text) override;
    void showNote(const QString &text) override;

private:
    QByteArray renderNode(const NodeView &node, int depth) const;
    static void write(std::FILE *stream, const QByteArray &text);

    std::FILE *m_out;
    std::FILE *m_log;
    Palette m_outColours;
    Palette m_logColours;
};
