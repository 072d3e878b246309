// SPDX-License-Identifier: MIT
#include "logcapture.h"

#include <log4cplus/spi/loggingevent.h>

namespace {

class RecordingAppender : public log4cplus::Appender
{
public:
    ~RecordingAppender() override { destructorImpl(); }
    void close() override {}
    QList<LogRecord> records;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent &event) override
    {
        records.append({event.getLogLevel(), QString::fromStdString(event.getMessage()),
                        QString::fromStdString(event.getFile()), event.getLine(),
                        QString::fromStdString(event.getFunction())});
    }
};

RecordingAppender *recorder(const log4cplus::SharedAppenderPtr &p)
{
    return static_cast<RecordingAppender *>(p.get());
}

} // namespace

QString levelName(int level)
{
    switch (level) {
    case log4cplus::TRACE_LOG_LEVEL:
        return QStringLiteral("TRACE");
    case log4cplus::DEBUG_LOG_LEVEL:
        return QStringLiteral("DEBUG");
    case log4cplus::INFO_LOG_LEVEL:
        return QStringLiteral("INFO");
    case log4cplus::WARN_LOG_LEVEL:
        return QStringLiteral("WARN");
    case log4cplus::ERROR_LOG_LEVEL:
        return QStringLiteral("ERROR");
    default:
        return QString::number(level);
    }
}

LogCapture::LogCapture(const char *loggerName)
    : m_logger(log4cplus::Logger::getInstance(loggerName)), m_appender(new RecordingAppender),
      m_oldLevel(m_logger.getLogLevel()), m_oldAdditivity(m_logger.getAdditivity())
{
    m_logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    m_logger.setAdditivity(false);
    m_logger.addAppender(m_appender);
}

LogCapture::~LogCapture()
{
    m_logger.removeAppender(m_appender);
    m_logger.setLogLevel(m_oldLevel);
    m_logger.setAdditivity(m_oldAdditivity);
}

const QList<LogRecord> &LogCapture::records() const
{
    return recorder(m_appender)->records;
}

QStringList LogCapture::lines() const
{
    QStringList result;
    for (const LogRecord &r : records())
        result.append(levelName(r.level) + QLatin1Char(' ') + r.message);
    return result;
}

QStringList LogCapture::messages(int level) const
{
    QStringList result;
    for (const LogRecord &r : records())
        if (r.level == level)
            result.append(r.message);
    return result;
}

QStringList LogCapture::linesStartingWith(const QString &text) const
{
    QStringList result;
    for (const LogRecord &r : records())
        if (r.message.startsWith(text))
            result.append(levelName(r.level) + QLatin1Char(' ') + r.message);
    return result;
}

void LogCapture::clear()
{
    recorder(m_appender)->records.clear();
}
