// SPDX-License-Identifier: MIT
#pragma once

#include "config.h"
#include "device.h"
#include "directory.h"
#include "mounttable.h"
#include "runtime.h"

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orva::automount {

// One device that an add has a record of, as the status command shows it.
struct DeviceReport
{
    std::string kernelName;
    std::string entry;
    // mounted; adding or removing (at work now); stopped (an add that ended
    // half-way, whose remove has not run yet); gone (its mount has gone).
    std::string state;
    std::string step; // the add's last step
    // Its mount, when it has one: type, source and per-mount options.
    std::string type;
    std::string source;
    std::string options;
    std::string label; // the label file's line, as the plug-in reads it
};

// The four commands. Messages of what was done go to standard output;
// failures are thrown as Failure, after what the command made is undone.
class Automounter
{
public:
    // WATCH_DIR, overridden by --watch-dir; the prefix given by --prefix.
    Automounter(Config config, std::string watchDir, std::optional<std::string> prefix)
        : m_config(std::move(config)), m_watchDir(std::move(watchDir)), m_prefix(std::move(prefix))
    {
    }

    void add(const std::string &argument);
    void remove(const std::string &argument);
    // Takes only the entry away, at once, when the device has gone.
    void withdraw(const std::string &argument);
    void cleanup();

    // The devices that adds have records of, by kernel name.
    std::vector<std::string> recordedDevices() const;
    std::vector<DeviceReport> report() const;

private:
    // The watch directory, its staging directories, the runtime one and
    // the directory in it where a device is mounted first, which nobody
    // else can even enter.
    struct Places
    {
        Directory watch;
        Directory mnt;
        Directory runtime;
        Directory raw;
    };
    std::optional<Places> enter(bool make) const;

    bool isInPlace(const Device &device, const std::string &entry, const Places &places,
                   const MountTable &table) const;
    void replaceLeftovers(const std::string &entry, const Places &places,
                          const MountTable &table) const;
    std::string mountOptions(const std::string &fsType) const;
    std::string labelOf(const Device &device, const FileSystem &fileSystem) const;
    void runAdd(const Device &device, const std::string &entry, const std::string &notify,
                const Places &places, StepRecord &record) const;

    // Takes ENTRY away: its link, its mounts, staging directories, label
    // file and temporary files. Throws Failure when something stays.
    void removeEntry(const std::string &entry, const Places &places, bool quiet) const;
    std::vector<std::string> entriesOf(const std::string &kernelName,
                                       const StepRecord *record) const;
    std::vector<std::string> stagedEntriesOf(const std::string &node, const Places &places) const;
    void removeNotification(const std::string &notify, const Places &places) const;
    bool isOurs(const std::string &name) const;
    bool isOurLink(const std::string &entry, const Places &places) const;
    // Throws Failure unless it is: a link planted there is never touched.
    void requireOurLink(const std::string &entry, const Places &places) const;

    Config m_config;
    std::string m_watchDir;
    std::optional<std::string> m_prefix;
};

// Set when SIGTERM, SIGINT or SIGHUP arrives: an add stops before its next
// step, undoes what it made and then ends by that signal.
void requestStop(int signal);
int stopSignal();
// The eventfd FD is written to when a stop signal arrives.
void wakeOnStop(int fd);

// While it lives, an add in this thread stops as on a signal once GONE is
// set: the service sets it when the device goes during its add.
class StopWhen
{
public:
    explicit StopWhen(const std::atomic<bool> &gone);
    ~StopWhen();
    StopWhen(const StopWhen &) = delete;
    StopWhen &operator=(const StopWhen &) = delete;
};

} // namespace orva::automount
