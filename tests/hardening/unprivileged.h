// SPDX-License-Identifier: MIT
// Runs the rest of a scope with the effective user "nobody" when the suite
// runs as root, so that file modes take effect; a no-op for other users.
// Root's saved user id brings it back.
#pragma once

#include <unistd.h>

class Unprivileged
{
public:
    static constexpr uid_t kNobody = 65534;

    Unprivileged() : m_active(::geteuid() != 0 || ::seteuid(kNobody) == 0) {}
    ~Unprivileged()
    {
        if (::getuid() == 0 && m_active && ::seteuid(0) != 0)
            ::_exit(3); // a suite left without root's rights would report nonsense
    }

    // False when root could not give up its rights.
    bool isActive() const { return m_active; }

private:
    const bool m_active;
};
