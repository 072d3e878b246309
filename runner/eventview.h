// SPDX-License-Identifier: MIT
// What the runner shows; one implementation per output format.
#pragma once

#include "recordappender.h"
#include "treesnapshot.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QSocketNotifier;

class EventView
{
public:
    EventView();
    virtual ~EventView();
    virtual void showLog(const LogRecord &record) = 0;
    virtual void showReady(const QString &pluginPath) = 0;
    virtual void showTree(const QVector<NodeView> &nodes) = 0;
    virtual void showExit(int code) = 0;
    // A demo step's caption, and notes for the user; never mixed into JSON.
    virtual void showCaption(const QString &text) = 0;
    virtual void showNote(const QString &text) = 0;

    // text with every character that a terminal would act on shown as an
    // escape, the way ls and systemd show them.
    static QString visible(const QString &text);

    // True once standard output could not be written: its reader is gone.
    bool outputClosed() const { return m_outputClosed; }
    // Notices, in the event loop, a pipe on stdout whose reader has gone
    // while nothing is being written (head -2 has had its lines).
    void watchOutput();

protected:
    // Writes and flushes, for readers that act on each line as it comes. A
    // reader that goes away (orva-host --json | head) ends the run as
    // SIGTERM does; nothing more is written to stdout after that.
    void writeOut(const QByteArray &text);
    static void writeErr(const QByteArray &text);

private:
    void closeOutput();

    bool m_outputClosed = false;
    std::unique_ptr<QSocketNotifier> m_outputWatch;
};
