// SPDX-License-Identifier: MIT
#pragma once

#include "automounter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace orva::automount {

// The devices the service looks after, each brought to what udev last said
// of it by a thread of its own while there is something to do: one device's
// mount that hangs (a dying stick, a FUSE driver that stopped) holds up no
// other's add or remove, and ten sticks plugged at once are mounted side by
// side. A device's own adds and removes run one after the other, in the
// order its events asked for them; however many events come, a device has
// one record here and at most one thread.
class DeviceJobs
{
public:
    // CHANGED is called, from any thread, whenever a device's work starts
    // or ends.
    DeviceJobs(Automounter &automounter, std::function<void()> changed)
        : m_automounter(automounter), m_changed(std::move(changed))
    {
    }

    // udev marks the device KERNEL_NAME (node NODE, on the disk DISK) to be
    // mounted: it is, unless it is already.
    void want(const std::string &kernelName, const std::string &node, const std::string &disk);
    // The device went, or no longer is to be mounted: its entry and mount
    // are taken away, and an add at work stops and undoes itself. One not
    // known here is removed when SURELY (udev had marked it: its entry may
    // have been made before this process started).
    void drop(const std::string &kernelName, const std::string &node, bool surely);
    // Every device of the disk DISK (a card reader's card was taken out).
    void dropDisk(const std::string &disk);

    struct Counts
    {
        int mounted = 0;
        int atWork = 0;
    };
    Counts counts() const;
    // Waits until no device has work left, for at most TIMEOUT; whether
    // none has.
    bool waitIdle(std::chrono::milliseconds timeout) const;

private:
    struct Slot
    {
        std::string node;
        std::string disk;
        bool wanted = false;           // udev's last word: mount it
        bool removeDue = false;        // a remove has to run before anything else
        bool mounted = false;          // the last add ended with it mounted
        bool busy = false;             // a thread works on it
        std::atomic<bool> gone{false}; // read by its add, between steps
    };

    // With m_mutex held.
    void startWork(const std::string &kernelName, Slot &slot);
    void dropSlot(Slot &slot);
    void work(const std::string &kernelName);
    bool addDevice(const std::string &node, const std::atomic<bool> &gone);
    void removeDevice(const std::string &node);

    Automounter &m_automounter;
    std::function<void()> m_changed;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_idle;
    // Nodes of a map stay put: a thread holds its slot while others come
    // and go.
    std::map<std::string, Slot> m_slots;
};

} // namespace orva::automount
