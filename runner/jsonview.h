// SPDX-License-Identifier: MIT
// Newline-delimited JSON on stdout: one event a line, nothing else there.
#pragma once

#include "eventview.h"

#include <cstdio>

class JsonView : public EventView
{
public:
    explicit JsonView(std::FILE *out = stdout, std::FILE *notes = stderr);

    void showLog(const LogEntry &entry) override;
    void showReady(const QString &pluginPath) override;
    void showTree(const QVector<NodeView> &nodes) override;
    void showExit(int code) override;
    void showCaption(const QString &text) override;
    void showNote(const QString &text) override;

    static QByteArray nodeJson(const NodeView &node);

private:
    void writeLine(const QByteArray &json);
    std::FILE *m_out;
    std::FILE *m_notes;
};
