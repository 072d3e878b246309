// SPDX-License-Identifier: MIT
#include "devicejobs.h"

#include "failure.h"

#include <system_error>
#include <thread>

namespace orva::automount {

void DeviceJobs::want(const std::string &kernelName, const std::string &node,
                      const std::string &disk)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Slot &slot = m_slots[kernelName];
    slot.node = node;
    slot.disk = disk;
    slot.wanted = true;
    startWork(kernelName, slot);
}

void DeviceJobs::drop(const std::string &kernelName, const std::string &node, bool surely)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto known = m_slots.find(kernelName);
    if (known == m_slots.end() && !surely)
        return;
    Slot &slot = known != m_slots.end() ? known->second : m_slots[kernelName];
    if (slot.node.empty())
        slot.node = node;
    dropSlot(slot);
    startWork(kernelName, slot);
}

void DeviceJobs::dropDisk(const std::string &disk)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &[kernelName, slot] : m_slots) {
        if (slot.disk == disk) {
            dropSlot(slot);
            startWork(kernelName, slot);
        }
    }
}

void DeviceJobs::dropSlot(Slot &slot)
{
    slot.wanted = false;
    slot.removeDue = true;
    slot.gone = true;
}

DeviceJobs::Counts DeviceJobs::counts() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Counts counts;
    for (const auto &[kernelName, slot] : m_slots) {
        counts.mounted += slot.mounted;
        counts.atWork += slot.busy;
    }
    return counts;
}

bool DeviceJobs::waitIdle(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] {
        for (const auto &[kernelName, slot] : m_slots) {
            if (slot.busy)
                return false;
        }
        return true;
    });
}

void DeviceJobs::startWork(const std::string &kernelName, Slot &slot)
{
    if (slot.busy)
        return;
    // Detached: a thread stuck in a mount that never returns must not hold
    // up the service's exit either.
    try {
        std::thread(&DeviceJobs::work, this, kernelName).detach();
        slot.busy = true;
    } catch (const std::system_error &error) {
        // Out of threads (TasksMax=): the device's next event tries again.
        fail("cannot look after " + printable(slot.node) + ": " + printable(error.what()));
    }
}

void DeviceJobs::work(const std::string &kernelName)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed();
    for (;;) {
        Slot &slot = m_slots.at(kernelName);
        const bool remove = slot.removeDue;
        const bool add = !remove && slot.wanted && !slot.mounted;
        if (!remove && !add) {
            slot.busy = false;
            if (!slot.wanted && !slot.mounted)
                m_slots.erase(kernelName);
            break;
        }
        slot.removeDue = false;
        // Set again by any drop from here on: only this add stops for it.
        slot.gone = false;
        const std::string node = slot.node;
        lock.unlock();
        bool mounted = false;
        if (add)
            mounted = addDevice(node, slot.gone);
        else
            removeDevice(node);
        lock.lock();
        slot.mounted = mounted;
        // A device that could not be mounted is not tried again until udev
        // says something new of it.
        if (add && !mounted)
            slot.wanted = false;
    }
    lock.unlock();
    m_idle.notify_all();
    m_changed();
}

bool DeviceJobs::addDevice(const std::string &node, const std::atomic<bool> &gone)
{
    try {
        const StopWhen stop(gone);
        m_automounter.add(node);
        return true;
    } catch (const Stopped &stopped) {
        say(printable(node) + ": " + stopped.what());
    } catch (const Failure &failure) {
        // A pull fails whatever step the add is at (the mount finds no
        // device): that is no fault of the device's, and was undone.
        if (gone)
            say(printable(node) + ": stopped: the device went while it was being mounted (" +
                failure.what() + ")");
        else
            fail(failure.what());
    } catch (const std::exception &error) {
        fail(printable(node) + ": " + printable(error.what()));
    }
    return false;
}

void DeviceJobs::removeDevice(const std::string &node)
{
    try {
        m_automounter.remove(node);
    } catch (const Failure &failure) {
        fail(failure.what());
    } catch (const std::exception &error) {
        fail(printable(node) + ": " + printable(error.what()));
    }
}

} // namespace orva::automount
