// SPDX-License-Identifier: MIT
// What the runner shows; one implementation per output format.
#pragma once

#include "logforwarding.h"
#include "treesnapshot.h"

class EventView
{
public:
    virtual ~EventView() = default;

    virtual void showLog(const LogEntry &entry) = 0;
    virtual void showReady(const QString &pluginPath) = 0;
    virtual void showTree(const QVector<NodeView> &nodes) = 0;
    virtual void showExit(int code) = 0;
    // A demo step's caption, and notes for the user; never mixed into JSON.
    virtual void showCaption(const QString &text) = 0;
    virtual void showNote(const QString &text) = 0;
};
