// SPDX-License-Identifier: MIT
// Newline-delimited JSON on stdout: one event a line, nothing else there.
#pragma once

#include "eventview.h"

#include <QJsonObject>

class JsonView : public EventView
{
public:
    void showLog(const LogRecord &record) override;
    void showReady(const QString &pluginPath) override;
    void showTree(const QVector<NodeView> &nodes) override;
    void showExit(int code) override;
    void showCaption(const QString &text) override;
    void showNote(const QString &text) override;

private:
    void writeEvent(const QString &event, QJsonObject fields = QJsonObject());
};
