#include "logtap.h"

#include <utility>

namespace {

// log4cplus's CallbackAppender hands on only the message, the logger and the
// level; the tests also read a record's file, line and function.
class HandlerAppender : public log4cplus::Appender
{
public:
    explicit HandlerAppender(LogTap::Handler handler) : m_handler(std::move(handler)) {}
    ~HandlerAppender() override { destructorImpl(); }
    void close() override {}

protected:
    void append(const log4cplus::spi::InternalLoggingEvent &event) override { m_handler(event); }

private:
    LogTap::Handler m_handler;
};

} // namespace

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
             log4cplus::SharedAppenderPtr(new HandlerAppender(std::move(handler))))
{
}

LogTap::~LogTap()
{
    m_logger.removeAppender(m_appender);
    m_logger.setLogLevel(m_oldLevel);
    m_logger.setAdditivity(m_oldAdditivity);
}
