// SPDX-License-Identifier: MIT
#include "logtap.h"

#include <log4cplus/callbackappender.h>

#include <utility>

LogTap::LogTap(const char *loggerName, log4cplus::LogLevel level,
               log4cplus::SharedAppenderPtr appender)
    : m_logger(log4cplus::Logger::getInstance(loggerName)), m_appender(std::move(appender)),
      m_oldLevel(m_logger.getLogLevel()), m_oldAdditivity(m_logger.getAdditivity())
{
    attach(level);
}

LogTap::LogTap(const char *loggerName, log4cplus::LogLevel level, Handler handler)
    : m_handler(std::move(handler)), m_logger(log4cplus::Logger::getInstance(loggerName)),
      m_appender(new log4cplus::CallbackAppender(&LogTap::deliver, &m_handler)),
      m_oldLevel(m_logger.getLogLevel()), m_oldAdditivity(m_logger.getAdditivity())
{
    attach(level);
}

LogTap::~LogTap()
{
    m_logger.removeAppender(m_appender);
    m_logger.setLogLevel(m_oldLevel);
    m_logger.setAdditivity(m_oldAdditivity);
}

void LogTap::attach(log4cplus::LogLevel level)
{
    m_logger.setLogLevel(level);
    m_logger.setAdditivity(false);
    m_logger.addAppender(m_appender);
}

void LogTap::deliver(void *handler, const log4cplus_char_t *message, const log4cplus_char_t *,
                     log4cplus_loglevel_t level, const log4cplus_char_t *, const log4cplus_char_t *,
                     unsigned long long, unsigned long, const log4cplus_char_t *file,
                     const log4cplus_char_t *function, int line)
{
    (*static_cast<Handler *>(handler))({level, QString::fromUtf8(message), QString::fromUtf8(file),
                                        line, QString::fromUtf8(function)});
}
