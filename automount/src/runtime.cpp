// SPDX-License-Identifier: MIT
#include "runtime.h"

#include "failure.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace orva::automount {

namespace {

std::string recordName(const std::string &kernelName)
{
    return kernelName + std::string(StepRecord::suffix);
}

void sleepMilliseconds(long milliseconds)
{
    timespec pause{0, milliseconds * 1000000L};
    nanosleep(&pause, nullptr);
}

Fd openLockFile(const Directory &directory, const std::string &name)
{
    Fd file(
        openat(directory.fd(), name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file)
        throw Failure("cannot open " + printable(directory.pathOf(name)) + ": " + errorText(errno));
    return file;
}

int lockOperation(Lock::Mode mode)
{
    return (mode == Lock::Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
}

} // namespace

std::string runtimeDirectory()
{
    const char *override = std::getenv("ORVA_AUTOMOUNT_RUNTIME_DIR");
    return override && *override ? override : "/run/orva-automount";
}

Lock::Lock(const Directory &directory, const std::string &name, Mode mode)
    : m_fd(openLockFile(directory, name))
{
    const std::string path = directory.pathOf(name);
    // Polled rather than blocked in: a wait that runs out must end with a
    // message of its own, not with the unit's timeout killing us.
    for (int waited = 0; flock(m_fd.get(), lockOperation(mode)) != 0; waited += 20) {
        // Not blocked in, so never interrupted: anything but "held" is a fault.
        if (errno != EWOULDBLOCK)
            throw Failure("cannot lock " + printable(path) + ": " + errorText(errno));
        if (waited >= lockWaitSeconds * 1000)
            throw Failure(printable(path) + " stayed locked for " +
                          std::to_string(lockWaitSeconds) + " s; giving up");
        sleepMilliseconds(20);
    }
}

std::optional<Lock> Lock::ifFree(const Directory &directory, const std::string &name, Mode mode)
{
    Fd file = openLockFile(directory, name);
    if (flock(file.get(), lockOperation(mode)) == 0)
        return Lock(std::move(file));
    if (errno != EWOULDBLOCK)
        throw Failure("cannot lock " + printable(directory.pathOf(name)) + ": " + errorText(errno));
    return std::nullopt;
}

std::optional<StepRecord> StepRecord::load(const Directory &runtime, const std::string &kernelName)
{
    Fd file(
        openat(runtime.fd(), recordName(kernelName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    // Only root writes in the runtime directory: a record is one of ours.
    std::string text;
    readAll(file.get(), text);
    StepRecord record;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "watch")
            record.watchDir = value;
        else if (key == "entry")
            record.entry = value;
        else if (key == "notify")
            record.notify = value;
        else if (key == "step")
            record.steps.push_back(value);
    }
    return record;
}

void StepRecord::begin(const Directory &runtime, const std::string &kernelName)
{
    const std::string name = recordName(kernelName);
    m_file = Fd(openat(runtime.fd(), name.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!m_file || !writeAll(m_file.get(), "watch " + watchDir + "\nentry " + entry + "\nnotify " +
                                               notify + "\n")) {
        // Half a record is none: a remove would take a wrong entry from it.
        const int error = errno;
        runtime.removeFile(name);
        throw Failure("cannot write " + printable(runtime.pathOf(name)) + ": " + errorText(error));
    }
}

void StepRecord::step(const std::string &name)
{
    if (!m_file || !writeAll(m_file.get(), "step " + name + "\n"))
        throw Failure("cannot record the step " + name + ": " + errorText(errno));
}

void StepRecord::discard(const Directory &runtime, const std::string &kernelName)
{
    runtime.removeFile(recordName(kernelName));
}

} // namespace orva::automount
