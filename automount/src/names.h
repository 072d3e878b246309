// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace orva::automount {

// Names of entries, prefixes and kernel names: letters, digits and
// . _ : + @ -, not starting with a dot. So no name holds a slash or is . or
// .., no entry leaves the watch directory, and none is hidden from the
// plug-in.
bool isSafeName(std::string_view name);

// Throws Failure unless PREFIX is a safe name.
void checkPrefix(std::string_view prefix);

// Throws Failure unless ENTRY is a safe name that is no label file's.
void checkEntry(std::string_view entry);

bool endsWith(std::string_view text, std::string_view end);
bool startsWith(std::string_view text, std::string_view start);

} // namespace orva::automount
