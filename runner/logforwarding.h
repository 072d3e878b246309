// SPDX-License-Identifier: MIT
// Routes log4cplus records to the runner's view through an appender on the
// root logger.
#pragma once

#include <log4cplus/appender.h>

#include <QString>

#include <functional>

struct LogEntry
{
    QString level;
    QString logger;
    QString message;
    QString file;
    int line = 0;
    QString function;
};

using LogSink = std::function<void(const LogEntry &)>;

class ForwardingAppender : public log4cplus::Appender
{
public:
    explicit ForwardingAppender(LogSink sink);
    ~ForwardingAppender() override;
    void close() override;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent &event) override;

private:
    LogSink m_sink;
};

// Configures logging for the runner's lifetime and detaches the appender when
// it goes, so no record reaches a view that is gone.
class LogForwarding
{
public:
    explicit LogForwarding(LogSink sink);
    ~LogForwarding();
    LogForwarding(const LogForwarding &) = delete;
    LogForwarding &operator=(const LogForwarding &) = delete;

    // Reads a log4cplus properties file; false with a message when unreadable.
    static bool configureFromFile(const QString &path, QString &error);
    // level is one of TRACE, DEBUG, INFO, WARN, ERROR.
    static void setRootLevel(const QString &level);

private:
    log4cplus::SharedAppenderPtr m_appender;
};
