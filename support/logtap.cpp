// SPDX-License-Identifier: MIT
#include "logtap.h"

#include <utility>

LogTap::LogTap(const char *loggerName, log4cplus::LogLevel level,
               log4cplus::SharedAppenderPtr appender)
    : m_logger(log4cplus::Logger::getInstance(loggerName)), m_appender(std::move(appender)),
      m_oldLevel(m_logger.getLogLevel()), m_oldAdditivity(m_logger.getAdditivity())
{
    m_logger.setLogLevel(level);
    m_logger.setAdditivity(false);
    m_logger.addAppender(m_appender);
}

LogTap::LogTap(const char *loggerName, log4cplus::LogLevel level, Handler handler)
    : LogTap(loggerName, level,
             log4cplus::SharedAppenderPtr(new RecordAppender(std::move(handler))))
{
}

LogTap::~LogTap()
{
    m_logger.removeAppender(m_appender);
    m_logger.setLogLevel(m_oldLevel);
    m_logger.setAdditivity(m_oldAdditivity);
}
