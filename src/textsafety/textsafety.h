// SPDX-License-Identifier: MIT
// What text from outside (entry names, labels, a stick's file system) may
// not carry as it is into a log, a terminal or a label file, and the one
// escape that stands in for it. Shared by the plug-in, orva-host and
// orva-automount, which link nothing else in common.
#pragma once

#include <string>

namespace orva {

// Whether the character C, written as it is, acts on whatever shows the
// text instead of showing itself: a C0 control, DEL or a C1 control (a
// newline forges a log record, ESC or CSI drive a terminal), or a character
// that reorders or breaks a line (U+061C, U+200E, U+200F, U+2028 to U+202E,
// U+2066 to U+2069). All of them lie in the BMP outside the surrogates.
constexpr bool actsOnText(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Appends BYTE to OUT as \xNN, lower-case hex: the escape that label files
// use (blkid's encoding) and that log lines use for what acts on text.
inline void appendEscaped(std::string &out, unsigned char byte)
{
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
}

} // namespace orva
