// SPDX-License-Identifier: MIT
// The runner's logging: log4cplus records reach the view through an
// appender on the root logger, which is the runner's console.
#pragma once

#include "eventview.h"

#include <log4cplus/appender.h>
#include <log4cplus/loglevel.h>

#include <QString>

// Attaches the view for its lifetime and detaches it when it goes, so that
// no record reaches a view that is gone.
class LogRouting
{
public:
    LogRouting(EventView &view, log4cplus::LogLevel threshold);
    ~LogRouting();
    LogRouting(const LogRouting &) = delete;
    LogRouting &operator=(const LogRouting &) = delete;

private:
    log4cplus::SharedAppenderPtr m_appender;
};

namespace logsetup {

// Configures log4cplus from a properties file, leaving out its console
// appenders: the view is the console, so each record shows once and stdout
// stays the view's own. False, with a message naming the file, for a file
// that cannot be read or names a level or appender class log4cplus does
// not know (log4cplus itself would carry on, and later fail a record).
bool configureFromFile(const QString &path, QString &error);

// TRACE, DEBUG, INFO, WARN or ERROR.
log4cplus::LogLevel levelNamed(const QString &name);

} // namespace logsetup
