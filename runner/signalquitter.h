// SPDX-License-Identifier: MIT
// Turns SIGINT and SIGTERM into a Qt signal: the handler only writes a byte to
// a pipe (async-signal-safe); a socket notifier reads it in the event loop.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

class SignalQuitter : public QObject
{
    Q_OBJECT
public:
    explicit SignalQuitter(QObject *parent = nullptr);
    ~SignalQuitter() override;

    // False when the pipe or the handlers could not be set up.
    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void signalled(int signalNumber);

private:
    static void onSignal(int signalNumber);
    void readSignal();

    static volatile std::sig_atomic_t s_writeFd;
    int m_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
