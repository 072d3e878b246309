// SPDX-License-Identifier: MIT
#include "rawinotify.h"

#include <QFile>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

RawInotify::RawInotify(const QString &dir)
    : m_fd(inotify_init1(IN_CLOEXEC)), m_stopFd(eventfd(0, EFD_CLOEXEC))
{
    if (m_fd >= 0)
        m_watch = inotify_add_watch(m_fd, QFile::encodeName(dir).constData(), IN_CREATE);
    if (m_watch >= 0 && m_stopFd >= 0)
        m_thread = std::thread(&RawInotify::readLoop, this);
}

RawInotify::~RawInotify()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_stopFd >= 0)
        ::close(m_stopFd);
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<RawInotify::Clock::time_point>
RawInotify::takeCreation(const std::string &name, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_arrived.wait_for(lock, timeout, [&] { return m_created.count(name) > 0; }))
        return std::nullopt;
    const auto when = m_created[name];
    m_created.erase(name);
    return when;
}

void RawInotify::readLoop()
{
    alignas(inotify_event) char buffer[16 * 1024];
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
            return;
        const long size = ::read(m_fd, buffer, sizeof buffer);
        const auto when = Clock::now();
        if (size > 0)
            record(buffer, size, when);
    }
}

void RawInotify::record(const char *buffer, long size, Clock::time_point when)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (long at = 0; at < size;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
        if ((event->mask & IN_CREATE) && (event->mask & IN_ISDIR) && event->len > 0)
            m_created[event->name] = when;
        at += long(sizeof(inotify_event)) + event->len;
    }
    m_arrived.notify_all();
}
