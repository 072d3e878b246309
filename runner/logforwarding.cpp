// SPDX-License-Identifier: MIT
#include "logforwarding.h"

#include <log4cplus/configurator.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <QFileInfo>

ForwardingAppender::ForwardingAppender(LogSink sink) : m_sink(std::move(sink)) {}

ForwardingAppender::~ForwardingAppender()
{
    destructorImpl();
}

void ForwardingAppender::close()
{
    closed = true;
}

void ForwardingAppender::append(const log4cplus::spi::InternalLoggingEvent &event)
{
    LogEntry entry;
    entry.level =
        QString::fromStdString(log4cplus::getLogLevelManager().toString(event.getLogLevel()));
    entry.logger = QString::fromStdString(event.getLoggerName());
    entry.message = QString::fromStdString(event.getMessage());
    entry.file = QString::fromStdString(event.getFile());
    entry.line = event.getLine();
    entry.function = QString::fromStdString(event.getFunction());
    m_sink(entry);
}

LogForwarding::LogForwarding(LogSink sink) : m_appender(new ForwardingAppender(std::move(sink)))
{
    m_appender->setName(LOG4CPLUS_TEXT("orva-host"));
    log4cplus::Logger::getRoot().addAppender(m_appender);
}

LogForwarding::~LogForwarding()
{
    log4cplus::Logger::getRoot().removeAppender(m_appender);
}

bool LogForwarding::configureFromFile(const QString &path, QString &error)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        error = QStringLiteral("cannot read log config file %1").arg(path);
        return false;
    }
    log4cplus::PropertyConfigurator::doConfigure(info.absoluteFilePath().toStdString());
    return true;
}

void LogForwarding::setRootLevel(const QString &level)
{
    log4cplus::Logger::getRoot().setLogLevel(
        log4cplus::getLogLevelManager().fromString(level.toStdString()));
}
