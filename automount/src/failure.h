// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace orva::automount {

// Why a command cannot go on: said as "orva-automount: <what>" on standard
// error, after what the command made has been undone; the exit status is 1
// (3 for a Refusal).
class Failure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A device that policy keeps out (its bus, its kind, its file system type,
// a disk in use elsewhere): nothing failed, the device is not to be mounted.
class Refusal : public Failure
{
public:
    using Failure::Failure;
};

// An add that stopped before its end, what it made undone: a stop signal
// came, or the device it was mounting went.
class Stopped : public Failure
{
public:
    using Failure::Failure;
};

// "orva-automount: MESSAGE" and a newline: what was done on standard output,
// warnings and failures on standard error. C's stdio rather than iostreams,
// whose start-up is a good part of a short run's time under emulation.
//
// Where the stream is the journal's (JOURNAL_STREAM names it, as systemd
// sets it for a unit's output), the line starts with its priority as
// sd-daemon(3) writes it, so that "journalctl -p err" finds every command
// that failed: say() is informational (<6>), warn() a warning (<4>) and
// fail(), the error a command ends with, an error (<3>). A terminal, a file
// or a script gets the line without it.
void say(const std::string &message);
void warn(const std::string &message);
void fail(const std::string &message);

// The text of an errno value.
std::string errorText(int error);

// TEXT fit for a terminal or the journal: every byte below 0x20, 0x7f and
// every byte that is not part of valid UTF-8 is written as \xNN. Device
// names, paths and messages of mount helpers come from outside and pass
// through this before they are printed.
std::string printable(std::string_view text);

} // namespace orva::automount
