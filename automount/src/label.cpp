// SPDX-License-Identifier: MIT
#include "label.h"

#include "failure.h"
#include "textsafety.h"

#include <blkid.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

namespace orva::automount {

std::size_t utf8SequenceLength(std::string_view text)
{
    if (text.empty())
        return 0;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    // The range of the second byte keeps out overlong forms, surrogates and
    // code points past U+10FFFF, as the Unicode standard's table does.
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xbf)
            return 0;
    }
    return length;
}

bool isUtf8(std::string_view text)
{
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0)
            return false;
        text.remove_prefix(length);
    }
    return true;
}

bool startsWithHiddenControl(std::string_view text)
{
    const std::size_t length = utf8SequenceLength(text);
    if (length != 2 && length != 3)
        return false; // every such character takes two or three bytes
    char32_t c = static_cast<unsigned char>(text[0]) & (length == 2 ? 0x1f : 0x0f);
    for (std::size_t i = 1; i < length; ++i)
        c = c << 6 | (static_cast<unsigned char>(text[i]) & 0x3f);
    return orva::actsOnText(c);
}

std::string encodeLabel(std::string_view bytes)
{
    const std::string label(bytes.substr(0, bytes.find('\0')));
    // Each byte takes at most four ("\xNN"), and libblkid gives up unless
    // four more bytes would still fit after each character it writes: room
    // for the encoding alone is too little where every byte is escaped (a
    // label of one blank), which would come out empty.
    std::vector<char> encoded(label.size() * 4 + 4);
    if (blkid_encode_string(label.c_str(), encoded.data(), encoded.size()) != 0)
        return {};
    // libblkid keeps every valid UTF-8 character, hidden controls among them.
    std::string_view rest(encoded.data());
    std::string line;
    while (!rest.empty()) {
        const std::size_t length = std::max<std::size_t>(utf8SequenceLength(rest), 1);
        if (startsWithHiddenControl(rest)) {
            for (std::size_t i = 0; i < length; ++i)
                orva::appendEscaped(line, static_cast<unsigned char>(rest[i]));
        } else {
            line.append(rest.substr(0, length));
        }
        rest.remove_prefix(length);
    }
    return line;
}

std::string decodeLabel(std::string_view encoded)
{
    const auto hexValue = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x' &&
            hexValue(encoded[i + 2]) >= 0 && hexValue(encoded[i + 3]) >= 0) {
            bytes += static_cast<char>(hexValue(encoded[i + 2]) * 16 + hexValue(encoded[i + 3]));
            i += 3;
        } else {
            bytes += encoded[i];
        }
    }
    return bytes;
}

namespace {

struct IconvCloser
{
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using Converter = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// One byte of the code page as UTF-8.
std::optional<std::string> convertByte(iconv_t cd, char byte)
{
    char in[1] = {byte};
    char out[MB_LEN_MAX];
    char *inp = in, *outp = out;
    std::size_t inLeft = 1, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<std::size_t>(-1) || inLeft)
        return std::nullopt;
    return std::string(out, outp);
}

} // namespace

int codepageNumber(const std::string &setting)
{
    if (setting.empty() || setting.size() > 5 ||
        setting.find_first_not_of("0123456789") != std::string::npos)
        throw Failure("invalid FAT_CODEPAGE '" + printable(setting) + "': a number, such as 850");
    return std::stoi(setting);
}

std::optional<std::string> fatLabelToUtf8(std::string_view bytes, int codepage)
{
    if (isUtf8(bytes))
        return std::string(bytes);
    const std::string name = "CP" + std::to_string(codepage);
    iconv_t raw = iconv_open("UTF-8", name.c_str());
    if (raw == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    const Converter cd(raw);
    std::string utf8;
    while (!bytes.empty()) {
        std::size_t length = utf8SequenceLength(bytes);
        if (length > 0) {
            utf8.append(bytes.substr(0, length));
        } else {
            const auto character = convertByte(cd.get(), bytes.front());
            if (!character)
                return std::nullopt;
            utf8 += *character;
            length = 1;
        }
        bytes.remove_prefix(length);
    }
    return utf8;
}

} // namespace orva::automount
