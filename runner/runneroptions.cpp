// SPDX-License-Identifier: MIT
#include "runneroptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

const QStringList kLogLevels{QStringLiteral("TRACE"), QStringLiteral("DEBUG"),
                             QStringLiteral("INFO"), QStringLiteral("WARN"),
                             QStringLiteral("ERROR")};

const char kEpilogue[] = R"(
Configuration:
  The file given with --config holds one JSON object; it becomes the worker's
  configuration hash as the host would pass it (lists stay lists), e.g.
    {"watchPath": "/run/storage", "linkPrefix": "/media/",
     "watchPrefixes": [["usb-", "USB"], ["mmc-", "Card"]],
     "watchNotifications": [["usb-", "USB"], ["mmc-", "Card"]]}
  --watch and --link-prefix replace keys of the file, --prefix and --notify
  append items. With neither a file nor any of these flags, a built-in example
  is used: usb- as USB, mmc- as Card, notifications for both, link prefix
  /media/, watching a fresh directory that the runner creates, names on stderr
  and removes at exit.

Views:
  The human view (default) prints the worker's tree, indented, each time it
  changes (on stdout), and log records of level INFO and above (on stderr).
  Colour is used on a terminal only (and never with NO_COLOR set).
  --json prints newline-delimited JSON on stdout, one object a line (its keys
  in no fixed order), and nothing else there; log records of every level
  unless --log-level says otherwise:
    {"event":"log","level":"DEBUG","logger":"CB_StorageLink","message":"...",
     "file":"...","line":123,"function":"..."}   every log record, in order
    {"event":"ready"}             once worker_create has returned
    {"event":"tree","nodes":[...]}
                                  right after ready, then once after each
                                  event-loop turn in which the tree changed
    {"event":"exit","code":0}     last
  Each node of a tree, sorted by path, has "path", "kind" ("list", "link" or
  "ui"), "title", "id", "description", "icon" and "playable"; a link adds
  "target", a list adds "rows" (its rows in order, as path strings).

Logging:
  --log-config reads a log4cplus properties file. Its loggers' levels decide
  which records are made and its appenders work as usual, except console
  appenders, which are left out: the view is the console, so every record
  shows once and stdout stays the view's own. The view shows records of the
  --log-level and above (default: INFO in the human view, DEBUG in the demo,
  TRACE with --json); --log-level also sets the root logger's level, which
  without --log-config is the view's. A file that names a level or an
  appender class that log4cplus does not know is refused.

Human view:
  Characters that a terminal would act on (C0 and C1 controls, DEL, the line
  separators and the bidirectional marks and overrides) are shown as escapes
  such as \x1b or \u202e, and a backslash as \\: a name or label can
  neither forge a line nor move, retitle or clear the terminal.

Ending:
  SIGINT and SIGTERM end the runner cleanly: the worker is destroyed, the
  plug-in unloaded, the temporary directory removed, exit status 0. So does a
  reader of stdout that goes away (orva-host --json | head -2).
  Exit status 1: the plug-in cannot be loaded, has no worker_create, or gives
  no worker. Exit status 2: a usage error or an unreadable or invalid file;
  with --json the exit event still ends the stream.
)";

bool parsePrefix(const QString &text, bool nameRequired, PrefixRecord &pair)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        if (nameRequired)
            return false;
        pair = {text, text};
        return true;
    }
    pair = {text.left(colon), text.mid(colon + 1)};
    return true;
}

} // namespace

OptionParser::Outcome OptionParser::parse(const QStringList &arguments, RunnerOptions &options,
                                          QString &error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Loads a worker plug-in as the host application does and shows its node tree and "
        "log as they change."));
    parser.addPositionalArgument(
        QStringLiteral("PLUGIN"),
        QStringLiteral("The worker plug-in (default: liborva_cb_storagelink beside the runner)."),
        QStringLiteral("[PLUGIN]"));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    // -v, --version: the application name and version, as set in main().
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config({QStringLiteral("c"), QStringLiteral("config")},
                                    QStringLiteral("Worker configuration: a JSON object."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption watch(QStringLiteral("watch"),
                                   QStringLiteral("Directory to watch (sets watchPath)."),
                                   QStringLiteral("DIR"));
    const QCommandLineOption linkPrefix(
        QStringLiteral("link-prefix"),
        QStringLiteral("Host path under which link targets are formed (sets linkPrefix)."),
        QStringLiteral("P"));
    const QCommandLineOption prefix(
        QStringLiteral("prefix"),
        QStringLiteral("Entries starting with PFX get links titled NAME1, NAME2...; appends to "
                       "watchPrefixes. Repeatable."),
        QStringLiteral("PFX:NAME"));
    const QCommandLineOption notify(
        QStringLiteral("notify"),
        QStringLiteral("New entries starting with PFX raise the notification; appends to "
                       "watchNotifications (NAME defaults to PFX). Repeatable."),
        QStringLiteral("PFX[:NAME]"));
    const QCommandLineOption logConfig(QStringLiteral("log-config"),
                                       QStringLiteral("log4cplus properties file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption logLevel(
        QStringLiteral("log-level"),
        QStringLiteral("Lowest level shown: TRACE, DEBUG, INFO, WARN or ERROR (default: INFO in "
                       "the human view, DEBUG in the demo, TRACE with --json)."),
        QStringLiteral("LEVEL"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Newline-delimited JSON events on stdout."));
    const QCommandLineOption demo(
        QStringLiteral("demo"),
        QStringLiteral("Play a scripted scenario in a fresh temporary directory, then exit."));
    const QCommandLineOption stepMs(QStringLiteral("step-ms"),
                                    QStringLiteral("Pause between demo steps (default 2500)."),
                                    QStringLiteral("MS"));
    parser.addOptions(
        {help, config, watch, linkPrefix, prefix, notify, logConfig, logLevel, json, demo, stepMs});

    // Known before the rest is, so that a usage error ends the JSON stream
    // with its exit event too.
    const int endOfOptions = arguments.indexOf(QStringLiteral("--"));
    const int jsonAt = arguments.indexOf(QStringLiteral("--json"));
    options.json = jsonAt > 0 && (endOfOptions < 0 || jsonAt < endOfOptions);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return UsageError;
    }
    if (parser.isSet(help)) {
        const QByteArray text = helpText(parser.helpText()).toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return ShowedHelpOrVersion;
    }
    if (parser.isSet(version)) {
        const QByteArray text = (QCoreApplication::applicationName() + QLatin1Char(' ') +
                                 QCoreApplication::applicationVersion() + QLatin1Char('\n'))
                                    .toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return ShowedHelpOrVersion;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        error = QStringLiteral("more than one plug-in given");
        return UsageError;
    }
    // A file name, never a name for the loader's search: liborva_x.so means
    // the file in the working directory, as it would for any other tool.
    if (!positional.isEmpty())
        options.pluginPath = QFileInfo(positional.first()).absoluteFilePath();
    options.configFile = parser.value(config);
    options.logConfigFile = parser.value(logConfig);
    options.demo = parser.isSet(demo);

    ConfigOverrides &o = options.overrides;
    o.hasWatchPath = parser.isSet(watch);
    o.watchPath = parser.value(watch);
    o.hasLinkPrefix = parser.isSet(linkPrefix);
    o.linkPrefix = parser.value(linkPrefix);
    for (const QString &value : parser.values(prefix)) {
        PrefixRecord pair;
        if (!parsePrefix(value, true, pair)) {
            error = QStringLiteral("--prefix wants PFX:NAME, got '%1'").arg(value);
            return UsageError;
        }
        o.linkPrefixes.append(pair);
    }
    for (const QString &value : parser.values(notify)) {
        PrefixRecord pair;
        parsePrefix(value, false, pair);
        o.notifPrefixes.append(pair);
    }

    if (parser.isSet(logLevel)) {
        options.logLevel = parser.value(logLevel).toUpper();
        if (!kLogLevels.contains(options.logLevel)) {
            error = QStringLiteral("unknown log level '%1' (TRACE, DEBUG, INFO, WARN, ERROR)")
                        .arg(parser.value(logLevel));
            return UsageError;
        }
    }
    if (parser.isSet(stepMs) && !options.demo) {
        error = QStringLiteral("--step-ms paces the demo: give --demo too");
        return UsageError;
    }
    if (parser.isSet(stepMs)) {
        bool ok = false;
        options.demoStepMs = parser.value(stepMs).toInt(&ok);
        if (!ok || options.demoStepMs < 0) {
            error = QStringLiteral("--step-ms wants a number of milliseconds");
            return UsageError;
        }
    }
    if (options.demo && (!options.configFile.isEmpty() || !o.isEmpty())) {
        error = QStringLiteral("--demo uses its own configuration: drop --config, --watch, "
                               "--link-prefix, --prefix and --notify");
        return UsageError;
    }
    return Run;
}

QString OptionParser::helpText(const QString &generated)
{
    return generated + QLatin1String(kEpilogue);
}
