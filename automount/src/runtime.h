// SPDX-License-Identifier: MIT
#pragma once

#include "directory.h"
#include "fd.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orva::automount {

// Where the locks and the records of adds live: a directory of root's own
// (0700) outside the watch directory, so that nobody else can open a lock
// file, let alone hold it, and nobody reads what an add has done.
// ORVA_AUTOMOUNT_RUNTIME_DIR overrides it, for tests that must not touch
// an installed automounter's state.
std::string runtimeDirectory();

// How long a command waits for a lock: both of an add's waits together stay
// well inside the unit's TimeoutSec= (90 s), which leaves the mount its time.
inline constexpr int lockWaitSeconds = 20;

class Lock
{
public:
    enum class Mode
    {
        Shared,
        Exclusive
    };
    // A flock on the file NAME in DIRECTORY, held until this object goes.
    // Throws Failure when it stays locked for lockWaitSeconds.
    Lock(const Directory &directory, const std::string &name, Mode mode);
    // The lock if nobody holds it now, else nothing: for a command that must
    // never wait.
    static std::optional<Lock> ifFree(const Directory &directory, const std::string &name,
                                      Mode mode);

private:
    explicit Lock(Fd fd) : m_fd(std::move(fd)) {}

    Fd m_fd;
};

// What an add of one device is doing, written down before each step is
// taken: its watch directory, entry, notification entry and steps. A
// remove (the unit's ExecStopPost= included, after an add that was stopped
// or killed at any point) reads it to find everything the add made under
// whatever prefix it used.
class StepRecord
{
public:
    // A record is the file <kernel name><suffix> in the runtime directory.
    static constexpr std::string_view suffix = ".steps";

    std::string watchDir;
    std::string entry;
    std::string notify;
    // As loaded: a record being written keeps its steps on disk only.
    std::vector<std::string> steps;

    // The record of the device KERNEL_NAME, if there is one.
    static std::optional<StepRecord> load(const Directory &runtime, const std::string &kernelName);
    // Starts the record afresh with this object's directory and names.
    void begin(const Directory &runtime, const std::string &kernelName);
    // Adds STEP to the record on disk, before the step is taken.
    void step(const std::string &name);
    static void discard(const Directory &runtime, const std::string &kernelName);

private:
    Fd m_file;
};

} // namespace orva::automount
