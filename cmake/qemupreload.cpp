// SPDX-License-Identifier: MIT
// Preloaded into the programs that ctest runs under qemu-user.
//
// qemu-user (7.2, Debian 12) passes waitid(P_PIDFD, ...) through to the kernel
// but refuses clone(CLONE_PIDFD). Qt's QProcess takes a working waitid probe
// to mean that clone with a pidfd works too, so under qemu every process start
// failed. Failing the probe, as a kernel without pidfds would, makes Qt start
// processes with plain fork.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

constexpr long kPidfdIdType = 3; // P_PIDFD, which older headers lack

using SyscallFn = long (*)(long, ...);

// The preload must not reach the programs these ones start: those run on the
// build machine itself, whose loader cannot load an AArch64 library.
__attribute__((constructor)) void keepPreloadFromChildren()
{
    unsetenv("LD_PRELOAD");
}

} // namespace

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...)
{
    // A system call takes at most six arguments, all passed in registers.
    long arg[6];
    va_list ap;
    va_start(ap, number);
    for (long &a : arg)
        a = va_arg(ap, long);
    va_end(ap);

    if (number == SYS_waitid && arg[0] == kPidfdIdType) {
        errno = EINVAL;
        return -1;
    }
    static const auto next = reinterpret_cast<SyscallFn>(dlsym(RTLD_NEXT, "syscall"));
    return next(number, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]);
}
