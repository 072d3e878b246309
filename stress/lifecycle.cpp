// SPDX-License-Identifier: MIT
// orva-lifecycle: loads the plug-in, creates a worker on a directory with
// entries, runs its event loop through a few changes, destroys it and
// unloads the plug-in, many times over. Meant to run under valgrind or
// LeakSanitizer: whatever a cycle leaks shows up multiplied.
#include "logtap.h"
#include "pluginworker.h"
#include "testconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <log4cplus/nullappender.h>

#include <cstdio>

namespace {

void runEventsFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while (timer.elapsed() < ms);
}

bool runCycle(const QString &directory, int cycle)
{
    PluginWorker host;
    const QVariantHash config =
        makeConfig(directory, {QStringLiteral("usb-:USB")}, {QStringLiteral("sd:SD")});
    for (int worker = 0; worker < 3; ++worker) {
        if (!host.create(config))
            return false;
        const QString entry = QStringLiteral("usb-%1-%2").arg(cycle).arg(worker);
        QDir(directory).mkdir(entry);
        QDir(directory).mkdir(QStringLiteral("sd%1").arg(worker));
        runEventsFor(30);
        QDir(directory).rmdir(entry);
        runEventsFor(30);
        host.destroy();
    }
    host.unload();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Every log statement composed, into a sink.
    const LogTap sink("CB_StorageLink", log4cplus::TRACE_LOG_LEVEL,
                      log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
    const int cycles = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10;
    QTemporaryDir scratch;
    const QString directory = QDir(scratch.path()).canonicalPath();
    QDir(directory).mkdir(QStringLiteral("usb-sda1"));
    QFile label(directory + QStringLiteral("/usb-sda1.label"));
    if (!label.open(QIODevice::WriteOnly) || label.write("Caf\\xc3\\xa9 Drive\n") < 0)
        return 2;
    label.close();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (!runCycle(directory, cycle)) {
            std::fprintf(stderr, "cannot host the plug-in\n");
            return 2;
        }
    }
    std::printf("%d cycles of load, 3 x (create, run, destroy), unload\n", cycles);
    return 0;
}
