// SPDX-License-Identifier: MIT
#include "failure.h"

#include "fd.h"
#include "label.h"
#include "textsafety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orva::automount {

namespace {

// Whether STREAM is the one JOURNAL_STREAM ("DEVICE:INODE", in decimal)
// names. The variable is inherited by whatever a unit starts: only the
// stream it names, and not a pipe or file the output was sent to since, is
// the journal's.
bool isJournal(std::FILE *stream)
{
    const char *named = std::getenv("JOURNAL_STREAM");
    if (!named)
        return false;
    const char *const end = named + std::strlen(named);
    unsigned long long device{}, inode{};
    const auto [colon, deviceError] = std::from_chars(named, end, device);
    if (deviceError != std::errc() || colon == end || *colon != ':')
        return false;
    const auto [last, inodeError] = std::from_chars(colon + 1, end, inode);
    if (inodeError != std::errc() || last != end)
        return false;
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

// PRIORITY is sd-daemon(3)'s prefix ("<3>"), written only to the journal.
void writeLine(std::FILE *stream, const char *priority, const std::string &message)
{
    // One write for the whole line: stderr is unbuffered, and a mount helper
    // writing to the same stream must not land in the middle of it.
    std::string line = isJournal(stream) ? priority : "";
    line += "orva-automount: ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
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
    writeLine(stdout, "<6>", message);
}

void warn(const std::string &message)
{
    writeLine(stderr, "<4>", message);
}

void fail(const std::string &message)
{
    writeLine(stderr, "<3>", message);
}

std::string errorText(int error)
{
    return std::strerror(error);
}

std::string printable(std::string_view text)
{
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
        orva::appendEscaped(out, byte);
        ++i;
    }
    return out;
}

} // namespace orva::automount
