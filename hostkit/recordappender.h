// SPDX-License-Identifier: MIT
// A log4cplus appender that hands each record on whole. log4cplus's own
// CallbackAppender passes the message as a C string, so a message holding a
// NUL (a configured path can) would be cut short there.
#pragma once

#include <log4cplus/appender.h>

#include <QString>

#include <functional>

struct LogRecord
{
    int level = 0;
    QString logger;
    QString message;
    QString file;
    int line = 0;
    QString function;
};

// TRACE, DEBUG, INFO, WARN, ERROR: log4cplus's own names of its levels.
QString levelName(int level);

class RecordAppender : public log4cplus::Appender
{
public:
    using Handler = std::function<void(const LogRecord &)>;

    explicit RecordAppender(Handler handler);
    ~RecordAppender() override;
    void close() override {}

protected:
    void append(const log4cplus::spi::InternalLoggingEvent &event) override;

private:
    Handler m_handler;
};
