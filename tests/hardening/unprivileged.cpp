// SPDX-License-Identifier: MIT
#include "unprivileged.h"

#include <unistd.h>

namespace {
constexpr uid_t kNobody = 65534;
}

Unprivileged::Unprivileged() : m_wasRoot(::geteuid() == 0)
{
    m_active = !m_wasRoot || ::seteuid(kNobody) == 0;
}

Unprivileged::~Unprivileged()
{
    if (m_wasRoot && m_active && ::seteuid(0) != 0)
        _exit(3); // a suite left without root's rights would report nonsense
}

Unprivileged::AsRoot::AsRoot()
{
    if (::getuid() == 0 && ::seteuid(0) != 0)
        _exit(3);
}

Unprivileged::AsRoot::~AsRoot()
{
    if (::getuid() == 0 && ::seteuid(kNobody) != 0)
        _exit(3);
}
