// SPDX-License-Identifier: MIT
#include "config.h"

#include "failure.h"
#include "fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orva::automount {

bool Config::allows(std::string_view type) const
{
    return std::find(allowedTypes.begin(), allowedTypes.end(), type) != allowedTypes.end();
}

std::string Config::typeOptions(std::string_view type) const
{
    if (type == "vfat")
        return vfatOptions;
    if (type == "exfat")
        return exfatOptions;
    if (type == "ntfs")
        return ntfsOptions;
    if (type == "ext2" || type == "ext3" || type == "ext4")
        return extOptions;
    if (type == "btrfs")
        return btrfsOptions;
    if (type == "xfs")
        return xfsOptions;
    return {};
}

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool isValidName(std::string_view name)
{
    if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

// A name without the blanks before its "=" (those before it are skipped
// with the line's indentation).
std::string withoutTrailingBlanks(std::string_view text)
{
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

// The value that starts at TEXT[at], up to the end of its logical line;
// AT is left after it. As in systemd, a quote opens only where the value
// begins or a quoted part has just closed, and blanks there are dropped;
// in unquoted text a quote is a character like any other, so an apostrophe
// does not swallow the lines after it.
std::string readValue(std::string_view text, std::size_t &at)
{
    std::string value;
    bool unquoted = false;
    // Blanks the unquoted text has gathered but not yet kept: dropped at the
    // end of the line, kept when more text follows.
    std::string pendingBlanks;
    while (at < text.size() && text[at] != '\n') {
        const char c = text[at++];
        if (!unquoted && (c == '\'' || c == '"')) {
            while (at < text.size() && text[at] != c) {
                const char q = text[at++];
                if (c == '"' && q == '\\' && at < text.size()) {
                    const char next = text[at++];
                    if (next == '\n')
                        continue;
                    if (next != '"' && next != '\\' && next != '`' && next != '$')
                        value += q;
                    value += next;
                } else {
                    value += q;
                }
            }
            if (at < text.size())
                ++at; // the closing quote
        } else if (c == '\\') {
            unquoted = true;
            if (at >= text.size())
                break;
            const char next = text[at++];
            if (next == '\n')
                continue;
            value += pendingBlanks;
            pendingBlanks.clear();
            value += next;
        } else if (isBlank(c)) {
            if (unquoted)
                pendingBlanks += c;
        } else {
            value += pendingBlanks;
            pendingBlanks.clear();
            value += c;
            unquoted = true;
        }
    }
    return value;
}

} // namespace

std::map<std::string, std::string> parseEnvironmentFile(std::string_view text)
{
    std::map<std::string, std::string> values;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (isBlank(text[at]) || text[at] == '\n'))
            ++at;
        if (at >= text.size())
            break;
        const std::size_t lineEnd = std::min(text.find('\n', at), text.size());
        const std::size_t equals = text.find('=', at);
        if (text[at] == '#' || text[at] == ';' || equals == std::string_view::npos ||
            equals > lineEnd) {
            at = lineEnd;
            continue;
        }
        const std::string name = withoutTrailingBlanks(text.substr(at, equals - at));
        at = equals + 1;
        std::string value = readValue(text, at);
        if (isValidName(name))
            values[name] = std::move(value);
    }
    return values;
}

Config configFrom(const std::map<std::string, std::string> &values)
{
    Config config;
    const auto take = [&](const char *key, std::string &field) {
        const auto found = values.find(key);
        if (found != values.end())
            field = found->second;
    };
    take("WATCH_DIR", config.watchDir);
    take("PREFIX_USB", config.prefixUsb);
    take("PREFIX_MMC", config.prefixMmc);
    take("NOTIFY_PREFIX", config.notifyPrefix);
    take("MOUNT_OPTIONS", config.mountOptions);
    take("HOST_USER", config.hostUser);
    take("FILE_MASK", config.fileMask);
    take("DIR_MASK", config.dirMask);
    take("VFAT_OPTIONS", config.vfatOptions);
    take("EXFAT_OPTIONS", config.exfatOptions);
    take("NTFS_OPTIONS", config.ntfsOptions);
    take("EXT_OPTIONS", config.extOptions);
    take("BTRFS_OPTIONS", config.btrfsOptions);
    take("XFS_OPTIONS", config.xfsOptions);
    take("FAT_CODEPAGE", config.fatCodepage);
    const auto types = values.find("ALLOWED_TYPES");
    if (types != values.end()) {
        config.allowedTypes.clear();
        const std::string &words = types->second;
        const char *blanks = " \t\n\r\v\f";
        for (std::size_t at = words.find_first_not_of(blanks); at != std::string::npos;) {
            const std::size_t end = words.find_first_of(blanks, at);
            config.allowedTypes.push_back(words.substr(at, end - at));
            at = words.find_first_not_of(blanks, end);
        }
    }
    return config;
}

Config readConfig(const std::string &path)
{
    // read(2) rather than a stream: a stream takes a read that fails (the
    // path a directory, say) for an empty file, and so for the defaults.
    const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file && errno == ENOENT)
        return Config{};
    std::string text;
    if (!file || !readAll(file.get(), text))
        throw Failure("cannot read the configuration " + printable(path) + ": " + errorText(errno));
    return configFrom(parseEnvironmentFile(text));
}

} // namespace orva::automount
