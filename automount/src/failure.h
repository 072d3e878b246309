// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace orva::automount {

// Why a command cannot go on: said as "orva-automount: <what>" on standard
// error, after what the command made has been undone; the exit status is 1.
class Failure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// "orva-automount: MESSAGE" and a newline: what was done on standard output,
// warnings and failures on standard error. C's stdio rather than iostreams,
// whose start-up is a good part of a short run's time under emulation.
void say(const std::string &message);
void warn(const std::string &message);

// The text of an errno value.
std::string errorText(int error);

// TEXT fit for a terminal or the journal: every byte below 0x20, 0x7f and
// every byte that is not part of valid UTF-8 is written as \xNN. Device
// names, paths and messages of mount helpers come from outside and pass
// through this before they are printed.
std::string printable(std::string_view text);

} // namespace orva::automount
