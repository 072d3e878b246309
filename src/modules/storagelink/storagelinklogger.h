// SPDX-License-Identifier: MIT
#pragma once

#include <log4cplus/logger.h>

#include <QString>

#include <string>

// The library's one logger, "CB_StorageLink", obtained when the library loads.
extern log4cplus::Logger storageLinkLogger;

// TEXT as UTF-8 for a log line, with every control character (C0, DEL, C1)
// and every character that reorders or breaks a line (U+061C, U+200E,
// U+200F, U+2028 to U+202E, U+2066 to U+2069) written as \xNN of each of its
// UTF-8 bytes. Entry names and label texts come from whoever fills the
// watched directory, and a host's file appender writes messages as they are:
// a newline there would forge a record, an ESC drive the terminal that shows
// the log, a U+202E turn the rest of the line around.
std::string logSafe(const QString &text);
