// SPDX-License-Identifier: MIT
// Captures the records of one log4cplus logger through a real appender.
#pragma once

#include "logtap.h"

#include <QList>
#include <QStringList>

class LogCapture
{
public:
    explicit LogCapture(const char *loggerName = "CB_StorageLink");

    const QList<LogRecord> &records() const { return m_records; }
    // "LEVEL message" for each record, in order: compact to compare.
    QStringList lines() const;
    QStringList messages(int level) const;
    // Lines whose message starts with text.
    QStringList linesStartingWith(const QString &text) const;
    void clear() { m_records.clear(); }

private:
    QList<LogRecord> m_records;
    LogTap m_tap; // after m_records: it goes first, so no record comes in as they go
};
