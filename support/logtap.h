// SPDX-License-Identifier: MIT
// One log4cplus logger routed, for the tap's lifetime, to an appender of our
// own: the logger's level set, its records kept from the root logger's
// appenders, and both put back when the tap goes.
#pragma once

#include "recordappender.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

class LogTap
{
public:
    using Handler = RecordAppender::Handler;

    LogTap(const char *loggerName, log4cplus::LogLevel level,
           log4cplus::SharedAppenderPtr appender);
    // Every record, whole, to handler.
    LogTap(const char *loggerName, log4cplus::LogLevel level, Handler handler);
    ~LogTap();
    LogTap(const LogTap &) = delete;
    LogTap &operator=(const LogTap &) = delete;

private:
    log4cplus::Logger m_logger;
    log4cplus::SharedAppenderPtr m_appender;
    log4cplus::LogLevel m_oldLevel;
    bool m_oldAdditivity;
};
