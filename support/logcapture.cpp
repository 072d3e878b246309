// SPDX-License-Identifier: MIT
#include "logcapture.h"

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
