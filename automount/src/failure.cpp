// SPDX-License-Identifier: MIT
#include "failure.h"

#include "fd.h"
#include "label.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orva::automount {

namespace {

void writeLine(std::FILE *stream, const std::string &message)
{
    std::fputs("orva-automount: ", stream);
    std::fputs(message.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool readAll(int fd, std::string &text)
{
    char buffer[BUFSIZ];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            return false;
    }
    return true;
}

void say(const std::string &message)
{
    writeLine(stdout, message);
}

void warn(const std::string &message)
{
    writeLine(stderr, message);
}

std::string errorText(int error)
{
    return std::strerror(error);
}

std::string printable(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text.substr(i));
        // C1 controls start escape sequences on some terminals, as their
        // 7-bit forms do; bidirectional controls and line separators reorder
        // or break the message around them.
        if (byte >= 0x20 && byte != 0x7f && length > 0 &&
            !startsWithHiddenControl(text.substr(i))) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        out += "\\x";
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
        ++i;
    }
    return out;
}

} // namespace orva::automount
