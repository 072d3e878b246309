// SPDX-License-Identifier: MIT
// The runner's command line.
#pragma once

#include "configitems.h"

#include <QString>
#include <QStringList>

// Settings given by flags that change or extend the worker's configuration.
struct ConfigOverrides
{
    QString watchPath;
    bool hasWatchPath = false;
    QString linkPrefix;
    bool hasLinkPrefix = false;
    QList<PrefixRecord> linkPrefixes;
    QList<PrefixRecord> notifPrefixes;

    bool isEmpty() const
    {
        return !hasWatchPath && !hasLinkPrefix && linkPrefixes.isEmpty() && notifPrefixes.isEmpty();
    }
};

struct RunnerOptions
{
    QString pluginPath; // empty: the plug-in beside the runner
    QString configFile;
    ConfigOverrides overrides;
    QString logConfigFile;
    QString logLevel; // empty: the view's default
    bool json = false;
    bool demo = false;
    int demoStepMs = 2500;
};

// Parses the arguments; on a usage error fills error with a one-line message
// (options.json still tells which view the error is for).
class OptionParser
{
public:
    enum Outcome
    {
        Run,
        ShowedHelpOrVersion,
        UsageError
    };

    Outcome parse(const QStringList &arguments, RunnerOptions &options, QString &error);

private:
    static QString helpText(const QString &generated);
};
