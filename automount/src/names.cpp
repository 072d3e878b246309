// SPDX-License-Identifier: MIT
#include "names.h"

#include "failure.h"

#include <algorithm>

namespace orva::automount {

bool isSafeName(std::string_view name)
{
    if (name.empty() || name.front() == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == ':' || c == '+' || c == '@' || c == '-';
    });
}

void checkPrefix(std::string_view prefix)
{
    if (!isSafeName(prefix))
        throw Failure("invalid prefix '" + printable(prefix) +
                      "': letters, digits and . _ : + @ - only, not starting with a dot");
}

void checkEntry(std::string_view entry)
{
    if (!isSafeName(entry))
        throw Failure("invalid entry name '" + printable(entry) + "'");
    if (endsWith(entry, ".label"))
        throw Failure("invalid entry name '" + printable(entry) + "': ends in .label");
}

bool endsWith(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool startsWith(std::string_view text, std::string_view start)
{
    return text.substr(0, start.size()) == start;
}

} // namespace orva::automount
