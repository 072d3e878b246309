// SPDX-License-Identifier: MIT
// Captures the records of one log4cplus logger through a real appender.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

#include <QList>
#include <QString>
#include <QStringList>

struct LogRecord
{
    int level;
    QString message;
    QString file;
    int line;
    QString function;
};

class LogCapture
{
public:
    explicit LogCapture(const char *loggerName = "CB_StorageLink");
    ~LogCapture();

    const QList<LogRecord> &records() const;
    // "LEVEL message" for each record, in order: compact to compare.
    QStringList lines() const;
    QStringList messages(int level) const;
    // Lines whose message starts with text.
    QStringList linesStartingWith(const QString &text) const;
    void clear();

private:
    log4cplus::Logger m_logger;
    log4cplus::SharedAppenderPtr m_appender;
    int m_oldLevel;
    bool m_oldAdditivity;
};

QString levelName(int level);
