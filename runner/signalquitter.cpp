// SPDX-License-Identifier: MIT
#include "signalquitter.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

volatile std::sig_atomic_t SignalQuitter::s_writeFd = -1;

namespace {

constexpr int kHandledSignals[] = {SIGINT, SIGTERM};

bool installHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(signalNumber, &action, nullptr) == 0;
}

} // namespace

SignalQuitter::SignalQuitter(QObject *parent) : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    s_writeFd = m_pipe[1];
    for (const int signalNumber : kHandledSignals)
        installHandler(signalNumber, &SignalQuitter::onSignal);
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalQuitter::readSignal);
}

SignalQuitter::~SignalQuitter()
{
    for (const int signalNumber : kHandledSignals)
        installHandler(signalNumber, SIG_DFL);
    s_writeFd = -1;
    delete m_notifier;
    for (const int fd : m_pipe)
        if (fd >= 0)
            ::close(fd);
}

void SignalQuitter::onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = s_writeFd;
    if (fd >= 0) {
        // Nothing to do if the pipe is full: a quit is pending anyway.
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

void SignalQuitter::readSignal()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1)
        emit signalled(byte);
}
