// SPDX-License-Identifier: MIT
#include "storagelinklogger.h"

#include "textsafety.h"

// A namespace-scope object: obtained at load, destroyed at unload.
log4cplus::Logger storageLinkLogger =
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("CB_StorageLink"));

std::string logSafe(const QString &text)
{
    std::string out;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        // Every such character lies in the BMP outside the surrogates, so
        // one UTF-16 unit tells, and cutting the text around it never
        // splits a pair.
        const QChar c = text.at(i);
        if (!orva::actsOnText(c.unicode()))
            continue;
        out += text.midRef(start, i - start).toUtf8().toStdString();
        for (const char byte : QString(c).toUtf8())
            orva::appendEscaped(out, static_cast<unsigned char>(byte));
        start = i + 1;
    }
    out += text.midRef(start).toUtf8().toStdString();
    return out;
}
