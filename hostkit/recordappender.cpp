// SPDX-License-Identifier: MIT
#include "recordappender.h"

#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <utility>

namespace {

QString text(const std::string &bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

} // namespace

QString levelName(int level)
{
    return text(log4cplus::getLogLevelManager().toString(level));
}

RecordAppender::RecordAppender(Handler handler) : m_handler(std::move(handler)) {}

RecordAppender::~RecordAppender()
{
    destructorImpl();
}

void RecordAppender::append(const log4cplus::spi::InternalLoggingEvent &event)
{
    m_handler({event.getLogLevel(), text(event.getLoggerName()), text(event.getMessage()),
               text(event.getFile()), event.getLine(), text(event.getFunction())});
}
