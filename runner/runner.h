// SPDX-License-Identifier: MIT
// Runs one worker: sets up logging and the view, loads the plug-in, follows
// the tree in the event loop until a signal, the demo's end or a closed
// stdout, tears down.
#pragma once

#include "eventview.h"
#include "runneroptions.h"

#include <QTemporaryDir>
#include <QVariantHash>

#include <memory>

class CMWorkerPlugin;

class Runner
{
public:
    enum ExitCode
    {
        Success = 0,
        PluginFailure = 1,
        UsageFailure = 2
    };

    explicit Runner(const RunnerOptions &options);
    ~Runner();

    int run();

private:
    int execute();
    QString viewLevel() const;
    bool setUpLogging(QString &error);
    bool prepareConfig(QVariantHash &config, QString &error);
    QString createWatchDirectory(QString &error);
    void showTree(const CMWorkerPlugin &plugin);
    int fail(int code, const QString &message) const;

    RunnerOptions m_options;
    std::unique_ptr<EventView> m_view;
    std::unique_ptr<QTemporaryDir> m_watchDir;
};
