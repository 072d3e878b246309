// SPDX-License-Identifier: MIT
#include "logsetup.h"

#include "recordappender.h"

#include <log4cplus/configurator.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/factory.h>

#include <QFileInfo>

#include <exception>

namespace {

const char kPrefix[] = "log4cplus.";

// A logger may inherit its level; the root logger has none to inherit.
bool isKnownLevel(const std::string &name, bool root)
{
    if (name.empty())
        return true;
    if (name == "INHERITED" || name == "NOTSET")
        return !root;
    // Asked quietly: the runner says what is wrong, naming the file.
    log4cplus::helpers::LogLog &logLog = *log4cplus::helpers::LogLog::getLogLog();
    logLog.setQuietMode(true);
    const bool known =
        log4cplus::getLogLevelManager().fromString(name) != log4cplus::NOT_SET_LOG_LEVEL;
    logLog.setQuietMode(false);
    return known;
}

QString unknownLevel(const std::string &key)
{
    return QStringLiteral("unknown level in %1%2")
        .arg(QLatin1String(kPrefix), QString::fromStdString(key));
}

std::string trimmed(const std::string &text)
{
    return QString::fromStdString(text).trimmed().toStdString();
}

// What log4cplus reports only on stderr while it goes on: an unknown level
// (the first record then throws) or appender class (the appender is dropped).
QString firstFault(const log4cplus::helpers::Properties &properties)
{
    const log4cplus::helpers::Properties all = properties.getPropertySubset(kPrefix);
    for (const std::string &key : all.propertyNames()) {
        const std::string value = trimmed(all.getProperty(key));
        const bool root = key == "rootLogger";
        const bool logger = root || key.rfind("logger.", 0) == 0;
        if (logger && !isKnownLevel(trimmed(value.substr(0, value.find(','))), root))
            return unknownLevel(key);
        const bool inAppender = key.rfind("appender.", 0) == 0;
        const bool threshold =
            inAppender && key.size() > 10 && key.compare(key.size() - 10, 10, ".Threshold") == 0;
        if (threshold && !isKnownLevel(value, false))
            return unknownLevel(key);
        const bool appender = inAppender && key.find('.', 9) == std::string::npos;
        if (appender && !log4cplus::spi::getAppenderFactoryRegistry().get(value))
            return QStringLiteral("unknown appender class %1").arg(QString::fromStdString(value));
    }
    return QString();
}

void dropConsoleAppenders(log4cplus::Logger logger)
{
    for (const log4cplus::SharedAppenderPtr &appender : logger.getAllAppenders())
        if (dynamic_cast<log4cplus::ConsoleAppender *>(appender.get()))
            logger.removeAppender(appender);
}

} // namespace

LogRouting::LogRouting(EventView &view, log4cplus::LogLevel threshold)
    : m_appender(new RecordAppender([&view](const LogRecord &record) { view.showLog(record); }))
{
    m_appender->setName(LOG4CPLUS_TEXT("orva-host"));
    m_appender->setThreshold(threshold);
    log4cplus::Logger::getRoot().addAppender(m_appender);
}

LogRouting::~LogRouting()
{
    log4cplus::Logger::getRoot().removeAppender(m_appender);
}

namespace logsetup {

bool configureFromFile(const QString &path, QString &error)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        error = QStringLiteral("cannot read log config file %1").arg(path);
        return false;
    }
    const std::string file = info.absoluteFilePath().toStdString();
    const QString fault = firstFault(log4cplus::helpers::Properties(file));
    if (!fault.isEmpty()) {
        error = QStringLiteral("log config file %1: %2").arg(path, fault);
        return false;
    }
    try {
        log4cplus::PropertyConfigurator::doConfigure(file);
    } catch (const std::exception &e) {
        error = QStringLiteral("log config file %1: %2").arg(path, QString::fromUtf8(e.what()));
        return false;
    }
    dropConsoleAppenders(log4cplus::Logger::getRoot());
    for (const log4cplus::Logger &logger : log4cplus::Logger::getCurrentLoggers())
        dropConsoleAppenders(logger);
    return true;
}

log4cplus::LogLevel levelNamed(const QString &name)
{
    return log4cplus::getLogLevelManager().fromString(name.toStdString());
}

} // namespace logsetup
