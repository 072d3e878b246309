// SPDX-License-Identifier: MIT
#include "orva/orvaglobal.h"

#include "signature.h"

bool orvaConnect(const QObject *sender, const char *signal, const QObject *receiver,
                 const char *method, Qt::ConnectionType type)
{
    return bool(QObject::connect(sender, signal, receiver, method, type));
}

std::string dbglog_scopedFunction(const char *signature, const char * /*loggerName*/)
{
    return qualifiedFunctionName(signature);
}
