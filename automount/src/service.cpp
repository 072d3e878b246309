// SPDX-License-Identifier: MIT
#include "service.h"

#include "devicejobs.h"
#include "failure.h"
#include "fd.h"
#include "names.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>

namespace orva::automount {

namespace {

// How long the start waits for the devices that are in to be mounted
// before it says it is ready anyway: a stick whose mount hangs must not
// keep the service from taking events, nor make systemd time its start out.
constexpr std::chrono::seconds readyWait(30);
// How long a stop waits for adds to undo themselves.
constexpr std::chrono::seconds stopWait(20);

struct UdevFree
{
    void operator()(udev *context) const { udev_unref(context); }
    void operator()(udev_monitor *monitor) const { udev_monitor_unref(monitor); }
    void operator()(udev_device *device) const { udev_device_unref(device); }
    void operator()(udev_enumerate *enumerate) const { udev_enumerate_unref(enumerate); }
};
using Udev = std::unique_ptr<udev, UdevFree>;
using UdevMonitor = std::unique_ptr<udev_monitor, UdevFree>;
using UdevDevice = std::unique_ptr<udev_device, UdevFree>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, UdevFree>;

std::string text(const char *value)
{
    return value ? value : "";
}

std::string property(udev_device *device, const char *key)
{
    return text(udev_device_get_property_value(device, key));
}

bool isMarked(udev_device *device)
{
    return property(device, "ORVA_AUTOMOUNT") == "1";
}

// The kernel name of the whole disk that DEVICE is or is a partition of.
std::string diskOf(udev_device *device)
{
    if (text(udev_device_get_devtype(device)) == "disk")
        return text(udev_device_get_sysname(device));
    // Owned by DEVICE: not to be unreferenced.
    udev_device *disk = udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
    return disk ? text(udev_device_get_sysname(disk)) : "";
}

std::int64_t monotonicMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class Service
{
public:
    explicit Service(Automounter &automounter);
    void run();

private:
    void listen();
    void reconcile();
    void handle(udev_device *device);
    void receiveEvents();
    void tellSystemd();
    int pollTimeout() const;

    Automounter &m_automounter;
    Fd m_wake;
    DeviceJobs m_jobs;
    Udev m_udev;
    UdevMonitor m_monitor;
    bool m_ready = false;
    std::int64_t m_readyBy = 0;
    // Half of WatchdogSec=, as sd_watchdog_enabled(3) asks; 0 without one.
    std::int64_t m_watchdogEvery = 0;
    std::int64_t m_nextPing = 0;
    std::string m_status;
};

Service::Service(Automounter &automounter)
    : m_automounter(automounter), m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_jobs(automounter, [fd = m_wake.get()] {
          const std::uint64_t one = 1;
          // A counter that is already high wakes the loop as well.
          [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
      })
{
    if (!m_wake)
        throw Failure("cannot make an event descriptor: " + errorText(errno));
    wakeOnStop(m_wake.get());
    std::uint64_t interval = 0;
    if (sd_watchdog_enabled(0, &interval) > 0)
        m_watchdogEvery = static_cast<std::int64_t>(interval / 2);
}

void Service::listen()
{
    m_udev.reset(udev_new());
    if (!m_udev)
        throw Failure("cannot use udev: " + errorText(errno));
    // udev's events, after its rules have run: ORVA_AUTOMOUNT is set.
    m_monitor.reset(udev_monitor_new_from_netlink(m_udev.get(), "udev"));
    if (!m_monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor.get()) < 0)
        throw Failure("cannot listen to udev's events: " + errorText(errno));
    // Ten sticks through one hub are a few hundred events at once; what
    // does not fit is lost, and the devices with it.
    udev_monitor_set_receive_buffer_size(m_monitor.get(), 4 << 20);
}

// After a crash, a kill or at boot: what no device backs any more goes,
// and every device that is in and marked is mounted (or found mounted
// already). Listening started first, so that no event falls in between.
void Service::reconcile()
{
    try {
        m_automounter.cleanup();
    } catch (const Failure &failure) {
        fail(failure.what());
    }
    std::set<std::string> marked;
    UdevEnumerate enumerate(udev_enumerate_new(m_udev.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "block") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "ORVA_AUTOMOUNT", "1") < 0 ||
        udev_enumerate_add_match_is_initialized(enumerate.get()) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        throw Failure("cannot list the block devices: " + errorText(errno));
    udev_list_entry *entry = udev_enumerate_get_list_entry(enumerate.get());
    for (; entry; entry = udev_list_entry_get_next(entry)) {
        UdevDevice device(
            udev_device_new_from_syspath(m_udev.get(), udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        const std::string name = text(udev_device_get_sysname(device.get()));
        const std::string node = text(udev_device_get_devnode(device.get()));
        if (!isSafeName(name) || node.empty())
            continue;
        marked.insert(name);
        m_jobs.want(name, node, diskOf(device.get()));
    }
    // Devices that went while nobody listened. One that is still there but
    // not marked was added by hand (a loop device), and stays.
    for (const std::string &name : m_automounter.recordedDevices()) {
        struct stat info;
        if (!marked.count(name) && stat(("/sys/class/block/" + name).c_str(), &info) != 0)
            m_jobs.drop(name, "/dev/" + name, true);
    }
}

void Service::handle(udev_device *device)
{
    const std::string action = text(udev_device_get_action(device));
    const std::string name = text(udev_device_get_sysname(device));
    const std::string node = text(udev_device_get_devnode(device));
    if (!isSafeName(name))
        return;
    // A card reader's card taken out: its partitions stay while they are
    // mounted, until the reader is next opened.
    if (property(device, "ORVA_AUTOMOUNT_NO_MEDIUM") == "1")
        m_jobs.dropDisk(name);
    if (action == "remove")
        m_jobs.drop(name, node.empty() ? "/dev/" + name : node, isMarked(device));
    else if (isMarked(device) && !node.empty())
        m_jobs.want(name, node, diskOf(device));
    else
        m_jobs.drop(name, "/dev/" + name, false);
}

void Service::receiveEvents()
{
    // A non-blocking socket: every event that is there, then back to poll.
    while (UdevDevice device{udev_monitor_receive_device(m_monitor.get())})
        handle(device.get());
}

// What systemctl status shows, and READY=1 once the devices that were in
// at the start are mounted.
void Service::tellSystemd()
{
    const DeviceJobs::Counts counts = m_jobs.counts();
    std::string status = std::to_string(counts.mounted) +
                         (counts.mounted == 1 ? " device mounted" : " devices mounted");
    if (counts.atWork)
        status += ", " + std::to_string(counts.atWork) + " at work";
    std::string message;
    if (!m_ready && (counts.atWork == 0 || monotonicMicroseconds() >= m_readyBy)) {
        m_ready = true;
        message = "READY=1\n";
    }
    if (status != m_status || !message.empty()) {
        m_status = status;
        message += "STATUS=" + status;
        sd_notify(0, message.c_str());
    }
}

int Service::pollTimeout() const
{
    std::int64_t until = -1;
    if (m_watchdogEvery)
        until = m_nextPing;
    if (!m_ready && (until < 0 || m_readyBy < until))
        until = m_readyBy;
    if (until < 0)
        return -1;
    const std::int64_t left = until - monotonicMicroseconds();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

void Service::run()
{
    listen();
    m_readyBy = monotonicMicroseconds() +
                std::chrono::duration_cast<std::chrono::microseconds>(readyWait).count();
    m_nextPing = monotonicMicroseconds() + m_watchdogEvery;
    reconcile();
    tellSystemd();
    pollfd fds[] = {{udev_monitor_get_fd(m_monitor.get()), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
    while (!stopSignal()) {
        if (poll(fds, 2, pollTimeout()) < 0 && errno != EINTR)
            throw Failure("cannot wait for events: " + errorText(errno));
        if (fds[0].revents)
            receiveEvents();
        if (fds[1].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = read(m_wake.get(), &count, sizeof count);
        }
        if (m_watchdogEvery && monotonicMicroseconds() >= m_nextPing) {
            sd_notify(0, "WATCHDOG=1");
            m_nextPing = monotonicMicroseconds() + m_watchdogEvery;
        }
        tellSystemd();
    }
    sd_notify(0, "STOPPING=1");
    // Adds at work stop at their next step and undo what they made; what is
    // mounted stays, for the next start (or the system's shutdown) to take.
    if (m_jobs.waitIdle(stopWait))
        return;
    // One is stuck in the kernel (a mount that hangs): its thread must not
    // see this process's objects destroyed under it. The next start takes
    // over whatever it leaves.
    warn("a device is still at work after " + std::to_string(stopWait.count()) +
         " s; stopping all the same");
    std::fflush(nullptr);
    std::_Exit(0);
}

} // namespace

void serve(Automounter &automounter)
{
    Service(automounter).run();
}

} // namespace orva::automount
