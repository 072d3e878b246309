// SPDX-License-Identifier: MIT
// Small helpers the host offers its plug-ins.
#pragma once

#include <orva/orva_api_export.h>

#include <QObject>
#include <string>

// QObject::connect with SIGNAL()/SLOT() strings ("2sig()", "1slot()").
ORVA_API_EXPORT bool orvaConnect(const QObject *sender, const char *signal, const QObject *receiver,
                                 const char *method, Qt::ConnectionType type = Qt::AutoConnection);

// The name under which a function appears in log lines: its qualified name
// without return type and parameters, e.g. "CMStorageLinkWorker::dirChanged".
// The logger name is accepted for compatibility and does not change the text.
ORVA_API_EXPORT std::string dbglog_scopedFunction(const char *signature, const char *loggerName);
