// SPDX-License-Identifier: MIT
#include "storagelinklogger.h"

// A namespace-scope object: obtained at load, destroyed at unload.
log4cplus::Logger storageLinkLogger =
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("CB_StorageLink"));

namespace {

// Every such character lies in the BMP outside the surrogates, so one
// UTF-16 unit tells, and cutting the text around it never splits a pair.
bool unsafeInLog(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string logSafe(const QString &text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!unsafeInLog(c.unicode()))
            continue;
        out += text.midRef(start, i - start).toUtf8().toStdString();
        for (const char byte : QString(c).toUtf8()) {
            const auto b = static_cast<unsigned char>(byte);
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 0xf];
        }
        start = i + 1;
    }
    out += text.midRef(start).toUtf8().toStdString();
    return out;
}
