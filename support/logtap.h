// SPDX-License-Identifier: MIT
// One log4cplus logger routed, for the tap's lifetime, to an appender of our
// own: the logger's level set, its records kept from the root logger's
// appenders, and both put back when the tap goes.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/clogger.h>
#include <log4cplus/logger.h>

#include <QString>

#include <functional>

struct LogRecord
{
    int level;
    QString message;
    QString file;
    int line;
    QString function;
};

class LogTap
{
public:
    using Handler = std::function<void(const LogRecord &)>;

    LogTap(const char *loggerName, log4cplus::LogLevel level,
           log4cplus::SharedAppenderPtr appender);
    // Every record to handler, through log4cplus's CallbackAppender.
    LogTap(const char *loggerName, log4cplus::LogLevel level, Handler handler);
    ~LogTap();
    LogTap(const LogTap &) = delete;
    LogTap &operator=(const LogTap &) = delete;

private:
    static void deliver(void *handler, const log4cplus_char_t *message, const log4cplus_char_t *,
                        log4cplus_loglevel_t level, const log4cplus_char_t *,
                        const log4cplus_char_t *, unsigned long long, unsigned long,
                        const log4cplus_char_t *file, const log4cplus_char_t *function, int line);
    void attach(log4cplus::LogLevel level);

    Handler m_handler; // first: the appender's cookie points at it
    log4cplus::Logger m_logger;
    log4cplus::SharedAppenderPtr m_appender;
    log4cplus::LogLevel m_oldLevel;
    bool m_oldAdditivity;
};
