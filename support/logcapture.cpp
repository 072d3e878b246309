// SPDX-License-Identifier: MIT
#include "logcapture.h"

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
    : m_tap(loggerName, log4cplus::TRACE_LOG_LEVEL,
            [this](const LogRecord &record) { m_records.append(record); })
{
}

QStringList LogCapture::lines() const
{
    QStringList result;
    for (const LogRecord &r : m_records)
        result.append(levelName(r.level) + QLatin1Char(' ') + r.message);
    return result;
}

QStringList LogCapture::messages(int level) const
{
    QStringList result;
    for (const LogRecord &r : m_records)
        if (r.level == level)
            result.append(r.message);
    return result;
}

QStringList LogCapture::linesStartingWith(const QString &text) const
{
    QStringList result;
    for (const LogRecord &r : m_records)
        if (r.message.startsWith(text))
            result.append(levelName(r.level) + QLatin1Char(' ') + r.message);
    return result;
}
