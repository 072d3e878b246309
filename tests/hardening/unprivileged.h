// SPDX-License-Identifier: MIT
// Runs a stretch of a test with the effective user "nobody" when the suite
// runs as root, so that file modes take effect; a no-op for other users.
// Root's saved user id brings it back.
#pragma once

class Unprivileged
{
public:
    Unprivileged();
    ~Unprivileged();
    Unprivileged(const Unprivileged &) = delete;
    Unprivileged &operator=(const Unprivileged &) = delete;

    // False when root could not give up its rights.
    bool isActive() const { return m_active; }

    // Runs the next call with root's rights again, where the test must
    // change what "nobody" may not.
    class AsRoot
    {
    public:
        AsRoot();
        ~AsRoot();
    };

private:
    bool m_wasRoot;
    bool m_active;
};
