// SPDX-License-Identifier: MIT
// orva-host: a command-line host that loads a worker plug-in as the host
// application does and shows its node tree and log as they change.
#include "jsonview.h"
#include "runner.h"
#include "runneroptions.h"

#include <log4cplus/initializer.h>

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    const log4cplus::Initializer logging;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orva-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVA_VERSION));
    // A reader of stdout that goes away must end the run with clean-up, as
    // SIGTERM does, not kill it: writes then fail with EPIPE, and the view
    // stops the event loop.
    std::signal(SIGPIPE, SIG_IGN);

    RunnerOptions options;
    QString error;
    switch (OptionParser().parse(QCoreApplication::arguments(), options, error)) {
    case OptionParser::ShowedHelpOrVersion:
        return Runner::Success;
    case OptionParser::UsageError:
        std::fprintf(stderr, "orva-host: %s (see --help)\n",
                     EventView::visible(error).toUtf8().constData());
        if (options.json)
            JsonView().showExit(Runner::UsageFailure);
        return Runner::UsageFailure;
    case OptionParser::Run:
        break;
    }
    return Runner(options).run();
}
