// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orva::automount {

// The length of the valid UTF-8 sequence that TEXT begins with (1 for an
// ASCII byte), or 0 when it begins with a byte that starts none: a stray
// continuation byte, an overlong form, a surrogate, a sequence cut short.
std::size_t utf8SequenceLength(std::string_view text);

bool isUtf8(std::string_view text);

// Whether TEXT begins with a valid UTF-8 sequence of two or three bytes for
// a character that acts on the text around it (orva::actsOnText: a C1
// control, a character that reorders or breaks a line). Such characters
// are escaped wherever outside text is written for people to read.
bool startsWithHiddenControl(std::string_view text);

// The label as udev and blkid encode it (ID_FS_LABEL_ENC): letters, digits,
// # + - . : = @ _ and the bytes of valid UTF-8 characters as they are, every
// other byte as \xNN. Done by libblkid's own encoder, so a label file holds
// what udev would have given, except that hidden controls
// (startsWithHiddenControl) have their bytes escaped too, so that the line
// may be shown as it stands. A label is a C string to both: it ends at its
// first NUL byte.
std::string encodeLabel(std::string_view bytes);

// The bytes that such an encoding stands for: each \xNN is the byte NN,
// anything else is itself.
std::string decodeLabel(std::string_view encoded);

// A FAT label holds bytes in the DOS code page of whoever wrote it. Its
// valid UTF-8 sequences stay as they are (a label written in UTF-8, maybe
// cut short by the 11 bytes FAT allows), and every other byte is read in
// CODEPAGE (850 for "CP850"). Empty when iconv(3) knows no such code page
// or the page has no character for one of the bytes.
std::optional<std::string> fatLabelToUtf8(std::string_view bytes, int codepage);

// The number FAT_CODEPAGE names (850); throws Failure for anything but one
// to five digits.
int codepageNumber(const std::string &setting);

} // namespace orva::automount
