// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace orva::automount {

// A file descriptor that closes itself.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// Writes all of TEXT to FD, again where a signal cut a write short;
// false, with errno set, where it cannot.
bool writeAll(int fd, std::string_view text);
// Appends the rest of FD to TEXT, again where a signal cut a read short;
// false, with errno set, where a read fails.
bool readAll(int fd, std::string &text);

} // namespace orva::automount
