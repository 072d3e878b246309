// SPDX-License-Identifier: MIT
#include "eventview.h"

#include "textsafety.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

EventView::EventView() = default;

EventView::~EventView() = default;

void EventView::writeOut(const QByteArray &text)
{
    if (m_outputClosed)
        return;
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size()) ||
        std::fflush(stdout) != 0)
        closeOutput();
}

void EventView::watchOutput()
{
    struct stat info;
    // A terminal may be open for reading too: only a pipe's writing end
    // reports nothing but its reader's going.
    if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode))
        return;
    m_outputWatch = std::make_unique<QSocketNotifier>(STDOUT_FILENO, QSocketNotifier::Read);
    QObject::connect(m_outputWatch.get(), &QSocketNotifier::activated, m_outputWatch.get(), [this] {
        pollfd output{STDOUT_FILENO, 0, 0};
        if (::poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)))
            closeOutput();
    });
}

void EventView::closeOutput()
{
    m_outputClosed = true;
    if (m_outputWatch)
        m_outputWatch->setEnabled(false);
    // Queued: this may run inside a rescan, or before the event loop starts.
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}

void EventView::writeErr(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

QString EventView::visible(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\')
            shown += QLatin1String("\\\\");
        else if (!orva::actsOnText(u))
            shown += c;
        else if (u < 0x100)
            shown += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
    }
    return shown;
}
