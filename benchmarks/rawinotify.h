// SPDX-License-Identifier: MIT
// The floor of reaction time: an inotify descriptor of our own on the watched
// directory, read by a thread that does nothing else.
#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class RawInotify
{
public:
    using Clock = std::chrono::steady_clock;

    explicit RawInotify(const QString &dir);
    ~RawInotify();
    RawInotify(const RawInotify &) = delete;
    RawInotify &operator=(const RawInotify &) = delete;

    bool isWatching() const { return m_watch >= 0; }
    // When the creation of subdirectory name was read, waiting up to timeout for it.
    std::optional<Clock::time_point> takeCreation(const std::string &name,
                                                  std::chrono::milliseconds timeout);

private:
    void readLoop();
    void record(const char *buffer, long size, Clock::time_point when);

    int m_fd = -1;
    int m_stopFd = -1;
    int m_watch = -1;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::map<std::string, Clock::time_point> m_created;
    std::thread m_thread;
};
