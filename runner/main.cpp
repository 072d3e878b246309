// SPDX-License-Identifier: MIT
// orva-host: a command-line host that loads a worker plug-in as the host
// application does and shows its node tree and log as they change.
#include "runner.h"
#include "runneroptions.h"

#include <log4cplus/initializer.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    const log4cplus::Initializer logging;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orva-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVA_VERSION));

    RunnerOptions options;
    QString error;
    switch (OptionParser().parse(QCoreApplication::arguments(), options, error)) {
    case OptionParser::ShowedHelp:
        return Runner::Success;
    case OptionParser::UsageError:
        std::fprintf(stderr, "orva-host: %s (see --help)\n", error.toLocal8Bit().constData());
        return Runner::UsageFailure;
    case OptionParser::Run:
        break;
    }
    return Runner(options).run();
}
