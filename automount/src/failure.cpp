// SPDX-License-Identifier: MIT
#include "failure.h"

#include "label.h"

#include <cstring>

namespace orva::automount {

std::string errorText(int error)
{
    return std::strerror(error);
}

std::string printable(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (byte >= 0x20 && byte != 0x7f && length > 0) {
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
