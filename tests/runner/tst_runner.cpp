// SPDX-License-Identifier: MIT
// orva-host run as a subprocess against real directories: its JSON events,
// its exit codes and messages, its logging, its human view, its response to
// signals and to a reader that goes, and the demo.
#include <QtTest>

#include <csignal>

namespace {

constexpr int kTimeoutMs = 10000;
const QFileInfo kPlugin(QStringLiteral(ORVA_PLUGIN_PATH));

// One run of orva-host and what it wrote on stdout: each line as the JSON
// event it holds (an empty object for a line that holds none).
struct HostRun
{
    explicit HostRun(const QStringList &arguments, const QString &workingDirectory = QString())
    {
        process.setWorkingDirectory(workingDirectory);
        process.start(QStringLiteral(ORVA_HOST_PATH), arguments);
    }
    // Ends it with the signal, if one is given: its exit status, or -1 when
    // it did not end normally.
    int finish(int signalNumber = 0)
    {
        if (signalNumber)
            ::kill(pid_t(process.processId()), signalNumber);
        const bool ended =
            process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
        return ended ? process.exitCode() : -1;
    }
    QString out() { return QString::fromUtf8(bytes += process.readAllStandardOutput()); }
    QString err() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    QList<QJsonObject> events()
    {
        QList<QJsonObject> all;
        for (const QString &line : out().trimmed().split('\n'))
            all << QJsonDocument::fromJson(line.toUtf8()).object();
        return all;
    }
    QProcess process;
    QByteArray bytes;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QStringList kWatch{"--watch",  "<dir>",    "--link-prefix", "/media/",
                         "--prefix", "usb-:USB", "--notify",      "usb-"};

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT
private slots:
    void exitPaths_data();
    void exitPaths();
    void views_data();
    void views();
    void closedOutputEndsCleanly_data();
    void closedOutputEndsCleanly();
    void demoPlaysToTheEnd();
};

void TestRunner::exitPaths_data()
{
    QTest::addColumn<QByteArray>("configText");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QByteArray &config, const QStringList &arguments,
                        int code, const QStringList &expected, int signalNumber = 0) {
        QTest::newRow(name) << config << arguments << signalNumber << code << expected;
    };
    // Ready, then ended by a signal: exit status 0; the last record before
    // ready is the worker's INFO line. No file name holds a NUL: that worker
    // logs one ERROR line and stays idle, the host goes on.
    const QStringList watching{
        "INFO CB_StorageLink Watching path <dir> for prefixes usb- and notifications usb-"};
    row("plug-in beside the runner, SIGTERM", "", kWatch, 0, watching, SIGTERM);
    row("by file name, SIGINT", "", kWatch + QStringList{"<plugin-name>"}, 0, watching, SIGINT);
    row("NUL in watchPath", R"({"watchPath": ".\u0000x"})", {"-c", "<config>"}, 0,
        {"ERROR CB_StorageLink Watch path '." + QString(QChar(0)) + "x' does not exist"}, SIGTERM);
    // Usage errors and bad files: one line naming the file or the option.
    row("invalid JSON", "{\n  \"watchPath\": \"/tmp\",,\n}\n", {"-c", "<config>"}, 2,
        {"<config>", "line 2, column 23"});
    row("not an object", "[1]", {"-c", "<config>"}, 2, {"<config>", "expected a JSON object"});
    row("missing config file", "", {"--config", "/nonexistent/c.json"}, 2, {"/nonexistent/c.json"});
    row("missing log config", "", {"--log-config", "/nonexistent/l"}, 2, {"/nonexistent/l"});
    row("prefix without name", "", {"--prefix", "usb-"}, 2, {"--prefix", "usb-"});
    row("unknown log level", "", {"--log-level", "LOUD"}, 2, {"LOUD"});
    row("unknown option", "", {"--colour"}, 2, {"colour"});
    row("demo with a configuration", "", {"--demo", "--watch", "/tmp"}, 2, {"--demo"});
    row("step without demo", "", {"--step-ms", "100"}, 2, {"--step-ms", "--demo"});
    row("log config with an unknown level", "log4cplus.rootLogger=LOUD\n",
        {"--log-config", "<config>"}, 2, {"<config>", "unknown level in log4cplus.rootLogger"});
    row("log config with an unknown threshold",
        "log4cplus.rootLogger=INFO, A\nlog4cplus.appender.A=log4cplus::NullAppender\n"
        "log4cplus.appender.A.Threshold=SOMETIMES\n",
        {"--log-config", "<config>"}, 2, {"<config>", "log4cplus.appender.A.Threshold"});
    row("log config with an unknown appender",
        "log4cplus.rootLogger=INFO, A\nlog4cplus.appender.A=X\n", {"--log-config", "<config>"}, 2,
        {"<config>", "unknown appender class X"});
    // Plug-ins that cannot be loaded (one by its path): the loader's message.
    row("missing plug-in", "", {"--watch", "<dir>", "/nonexistent/x.so"}, 1, {"/nonexistent/x.so"});
    row("no worker_create", "", {"--watch", "<dir>", ORVA_NOT_A_PLUGIN_PATH}, 1,
        {ORVA_NOT_A_PLUGIN_PATH " exports no worker_create"});
    row("plug-in file name, not in the working directory", "",
        {"--watch", "<dir>", "<plugin-name>"}, 1, {"<dir>/<plugin-name>"});
}

// A run that fails ends at once with its status, one line on stderr and the
// exit event. One that runs: log records, ready, the whole first tree; a
// signal ends it cleanly. How the tree follows the directory: the demo.
void TestRunner::exitPaths()
{
    QFETCH(QByteArray, configText);
    QFETCH(QStringList, arguments);
    QFETCH(int, signalNumber);
    QFETCH(int, code);
    QFETCH(QStringList, expected);
    QTemporaryDir temporary;
    const QString dir = QFileInfo(temporary.path()).canonicalFilePath();
    QVERIFY(QDir(dir).mkdir("usb-sda1") && writeFile(dir + "/usb-sda1.label", "My\\x20Disk\n"));
    QVERIFY(writeFile(dir + "/orva.json", configText));
    // The working directory (the watched one) holds the plug-in unless the
    // run is to fail.
    QVERIFY(code || QFile::link(kPlugin.filePath(), dir + '/' + kPlugin.fileName()));
    for (QStringList *texts : {&arguments, &expected})
        texts->replaceInStrings("<dir>", dir)
            .replaceInStrings("<config>", dir + "/orva.json")
            .replaceInStrings("<plugin-name>", kPlugin.fileName());
    HostRun host(QStringList{"--json"} + arguments, dir);
    // A run that goes on gets its signal once its first tree is out.
    QTRY_VERIFY_WITH_TIMEOUT(code || host.out().contains("\"tree\""), kTimeoutMs);
    QCOMPARE(host.finish(signalNumber), code);
    const QList<QJsonObject> events = host.events();
    QStringList kinds;
    for (const QJsonObject &event : events)
        kinds << event["event"].toString();
    // Nothing but JSON on stdout: log records, ready and the first tree, or
    // nothing when the run failed; the exit event once and last.
    QVERIFY2(kinds.join(' ').contains(
                 QRegularExpression(code ? "^exit$" : "^(log )+ready tree( log| tree)* exit$")),
             qPrintable(kinds.join(' ')));
    QCOMPARE(events.constLast(), QJsonObject({{"event", "exit"}, {"code", code}}));
    // What must name the outcome: the last record before ready, or the one
    // line on stderr of a run that fails.
    const QJsonObject last = events.value(kinds.indexOf("ready") - 1);
    const QString outcome = code ? host.err()
                                 : QStringList{last["level"].toString(), last["logger"].toString(),
                                               last["message"].toString() + '\n'}
                                       .join(' ');
    QVERIFY2(outcome.count('\n') == 1, qPrintable(outcome));
    for (const QString &part : expected)
        QVERIFY2(outcome.contains(part), qPrintable(outcome));
    QVERIFY(code || (last["line"].toInt() > 0 && !last["function"].toString().isEmpty()));
    // Every node with every key; the link's description is its label file's
    // text with its escape decoded.
    if (!code && !arguments.contains("-c"))
        QCOMPARE(QJsonDocument(events.value(kinds.indexOf("tree"))["nodes"].toArray())
                     .toJson(QJsonDocument::Compact),
                 R"([{"description":"","icon":"","id":"","kind":"list",)"
                 R"("path":"/CMStorageLinkWorker","playable":false,)"
                 R"("rows":["/CMStorageLinkWorker/usb-sda1"],"title":"Storage Watcher"},)"
                 R"({"description":"","icon":"skin:iconLoading","id":"","kind":"ui",)"
                 R"("path":"/CMStorageLinkWorker/notification","playable":false,)"
                 R"("title":"Attaching new device..."},{"description":"My Disk","icon":"",)"
                 R"("id":"sda1","kind":"link","path":"/CMStorageLinkWorker/usb-sda1",)"
                 R"("playable":true,"target":"/media/usb-sda1","title":"USB1"}])");
}

void TestRunner::views_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("fileLevel");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("--json: every level")
        << QStringList{"--json"} << QByteArray() << QStringList{"DEBUG", "INFO", "WARN"};
    QTest::newRow("--json --log-level")
        << QStringList{"--json", "--log-level", "warn"} << QByteArray() << QStringList{"WARN"};
    QTest::newRow("--json, --log-config at INFO")
        << QStringList{"--json"} << QByteArray("INFO") << QStringList{"INFO", "WARN"};
    // The human view shows INFO and above, whatever the file lets through.
    QTest::newRow("human view, --log-config at DEBUG")
        << QStringList() << QByteArray("DEBUG") << QStringList{"INFO", "WARN"};
}

// The levels that reach the view, and a file appender of --log-config that
// gets the file's levels; the file's console appender is left out, or it
// would show every record a second time, and on stdout break the JSON
// stream. Names and labels come from whoever writes the watched directory:
// the human view escapes what a terminal would act on.
void TestRunner::views()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, fileLevel);
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    const QString forged = "usb-a\nFAKE ERROR forged";
    QVERIFY(QDir(dir.path()).mkdir(forged) && QDir(dir.path()).mkdir("usb-\x1b[2J"));
    // ESC [ 2 J, RIGHT-TO-LEFT OVERRIDE and the one-character CSI, as escapes.
    QVERIFY(
        writeFile(dir.filePath(forged + ".label"), "a\\x1b[2Jb\\xe2\\x80\\xaec\\xc2\\x9bd\\\\\n"));
    if (!fileLevel.isEmpty()) {
        arguments << "--log-config" << dir.filePath("log.properties");
        QVERIFY(writeFile(arguments.constLast(),
                          "log4cplus.rootLogger=" + fileLevel + ", Out, File\n" +
                              "log4cplus.appender.Out=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.File=log4cplus::FileAppender\n"
                              "log4cplus.appender.File.File=" +
                              dir.filePath("records.log").toUtf8() + "\n"));
    }
    // The one-field item is rejected with a WARN line.
    arguments << "-c" << dir.filePath("orva.json") << "--watch" << dir.path();
    QVERIFY(writeFile(dir.filePath("orva.json"), R"({"watchPrefixes": [["usb-", "U"], ["m"]]})"));
    HostRun host(arguments);
    // Both links are in the first tree.
    QTRY_VERIFY_WITH_TIMEOUT(host.out().contains(QRegularExpression("\"tree\"|--- tree at")),
                             kTimeoutMs);
    QCOMPARE(host.finish(SIGTERM), 0);

    // The levels of what the view showed, as the human view shows them.
    const QString out = host.out(), err = host.err();
    QString view = err;
    for (const QJsonObject &event : host.events())
        view += ' ' + event["level"].toString() + " CB_StorageLink: ";
    for (const QString &level : QStringList{"TRACE", "DEBUG", "INFO", "WARN", "ERROR"})
        QVERIFY2(view.contains(QRegularExpression(" " + level + " +CB_StorageLink: ")) ==
                     shown.contains(level),
                 qPrintable(level + '\n' + view));
    QCOMPARE((out + err).count("Watching path "), int(shown.contains("INFO")));
    QFile file(dir.filePath("records.log"));
    const QString written = file.open(QIODevice::ReadOnly) ? file.readAll() : QString();
    QCOMPARE(written.contains(QRegularExpression("(^|\n)INFO - Watching path ")),
             !fileLevel.isEmpty());
    QCOMPARE(written.contains("DEBUG - dirChanged: "), fileLevel == "DEBUG");
    // log4cplus's own file appender writes messages as they are: the
    // plug-in's lines hold no control, override or forged line of their own.
    QVERIFY2(!written.contains(QRegularExpression("(?!\\n)[\\p{Cc}\\x{202e}]|(^|\\n)FAKE")),
             qPrintable(written));
    if (arguments.contains("--json"))
        return;
    // C0, C1 and the override; a line break inside a name or label would
    // start a line.
    QVERIFY2(
        !(out + '\n' + err).contains(QRegularExpression("(?!\\n)[\\p{Cc}\\x{202e}]|(^|\\n)FAKE")),
        qPrintable(out + '\n' + err));
    QVERIFY2(out.contains("description: a\\x1b[2Jb\\u202ec\\x9bd\\\\"), qPrintable(out));
    QVERIFY(out.contains("(link /CMStorageLinkWorker/usb-a\\x0aFAKE ERROR forged)"));
    // The plug-in's escape, its backslash escaped in turn by the view.
    QVERIFY2(err.contains("usb-\\\\x1b[2J"), qPrintable(err));
}

void TestRunner::closedOutputEndsCleanly_data()
{
    QTest::addColumn<QString>("reader");
    // What was written before head went may sit in the pipe unread: the next
    // write fails. A reader that has read up to the first tree goes while
    // the runner has nothing more to write: the pipe reports it.
    QTest::newRow("head -2, then a change") << "head -n 2";
    QTest::newRow("a reader that goes while the runner is idle")
        << "sed -n '1,2p; /\"event\":\"tree\"/q'";
}

// orva-host --json | head -2: the reader goes, the runner ends as a signal
// ends it.
void TestRunner::closedOutputEndsCleanly()
{
    QFETCH(QString, reader);
    QTemporaryDir dir;
    QProcess head, host;
    host.setStandardOutputProcess(&head);
    head.start("sh", {"-c", reader});
    host.start(ORVA_HOST_PATH, {"--json", "--watch", dir.path(), "--prefix", "usb-:USB"});
    QVERIFY(head.waitForFinished(kTimeoutMs));
    QCOMPARE(head.readAllStandardOutput().count('\n'), 2);
    if (reader.startsWith("head"))
        QVERIFY(QDir(dir.path()).mkdir("usb-sda1")); // the runner may be gone already
    QVERIFY(host.waitForFinished(kTimeoutMs));
    QVERIFY(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0);
    QVERIFY(host.readAllStandardError().contains("orva-host: stopping: standard output is closed"));
}

// Devices come (one labelled, a card announced before it is mounted), two
// go, the numbering resets, and a device announced but never mounted shows
// the notification row (+) until its time is up. One tree per event-loop
// turn that changed it, none halfway through a rescan. The built-in watch
// directory goes at the end.
void TestRunner::demoPlaysToTheEnd()
{
    HostRun host({"--demo", "--json", "--step-ms", "100"});
    QCOMPARE(host.finish(), 0);
    QStringList trees;
    for (const QJsonObject &event : host.events()) {
        QStringList links;
        for (const QJsonValue &node : event["nodes"].toArray())
            if (node["kind"] == "link")
                links << node["title"].toString();
        const QJsonArray rows = event["nodes"][0]["rows"].toArray();
        if (event["event"] == "tree")
            trees << links.join(' ') +
                         QString("+").repeated(rows.contains("/CMStorageLinkWorker/notification"));
    }
    QCOMPARE(trees, QStringList({"", "USB1", "USB1+", "Card1 USB1", "Card1 USB1 USB2", "Card1 USB2",
                                 "Card1", "Card1 USB1", "Card1 USB1+", "Card1 USB1"}));
    const QString watchDir =
        QRegularExpression("watch directory (\\S+)").match(host.err()).captured(1);
    QVERIFY(!watchDir.isEmpty() && !QFileInfo::exists(watchDir));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
