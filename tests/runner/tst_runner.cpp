// SPDX-License-Identifier: MIT
// orva-host run as a subprocess against real directories: its JSON events,
// its exit codes and messages, its logging, its human view, its response to
// signals and to a reader that goes, and the demo.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kTimeoutMs = 10000;
const QString kListPath = QStringLiteral("/CMStorageLinkWorker");
const QFileInfo kPlugin(QStringLiteral(ORVA_PLUGIN_PATH));

// One run of orva-host; stdout is parsed into events (and their kinds) as
// it arrives; strayLines are the lines that are not JSON objects: none
// with --json, the human view's lines without.
struct HostRun
{
    explicit HostRun(const QStringList &arguments, const QString &workingDirectory = QString())
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { readEvents(); });
        process.setWorkingDirectory(workingDirectory);
        process.start(QStringLiteral(ORVA_HOST_PATH), arguments);
    }
    ~HostRun()
    {
        process.kill();
        process.waitForFinished();
    }
    // Ends it with the signal, if one is given, and waits for a normal exit.
    bool finish(int signalNumber = 0, int timeoutMs = kTimeoutMs)
    {
        if (signalNumber)
            ::kill(pid_t(process.processId()), signalNumber);
        const bool done =
            process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
        readEvents();
        return done && process.exitStatus() == QProcess::NormalExit;
    }
    void readEvents()
    {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.isEmpty()) {
                strayLines << QString::fromUtf8(line);
            } else {
                events << event;
                kinds << event["event"].toString();
            }
        }
    }
    QJsonArray lastTree() const
    {
        return events.value(kinds.lastIndexOf("tree"))["nodes"].toArray();
    }
    QString out() const { return strayLines.join('\n'); }
    QString err() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    QProcess process;
    QList<QJsonObject> events;
    QStringList kinds;
    QStringList strayLines;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// <dir>, <config> and <plugin-name> in a table's texts.
QStringList expand(QStringList texts, const QString &dir, const QString &config)
{
    return texts.replaceInStrings("<dir>", dir)
        .replaceInStrings("<config>", config)
        .replaceInStrings("<plugin-name>", kPlugin.fileName());
}

const QStringList kWatch{"--watch",  "<dir>",    "--link-prefix", "/media/",
                         "--prefix", "usb-:USB", "--notify",      "usb-"};

QStringList linkTitles(const QJsonArray &tree)
{
    QStringList titles;
    for (const QJsonValue &node : tree)
        if (node["kind"] == "link")
            titles << node["title"].toString();
    return titles;
}

// Sorted by path, the list comes first.
QStringList rowsOf(const QJsonArray &tree)
{
    return tree.first()["rows"].toVariant().toStringList();
}

// The directory that the runner made for its built-in configuration.
QString watchDirectoryIn(const QString &errorText)
{
    return QRegularExpression("watch directory (\\S+)").match(errorText).captured(1);
}

QByteArray compact(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).toJson(QJsonDocument::Compact);
}

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT
private slots:
    void runsAndEndsOnSignal_data();
    void runsAndEndsOnSignal();
    void exitStatus_data();
    void exitStatus();
    void logging_data();
    void logging();
    void humanViewEscapesTerminalControls();
    void closedOutputEndsCleanly_data();
    void closedOutputEndsCleanly();
    void demoPlaysToTheEnd();
};

void TestRunner::runsAndEndsOnSignal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("configText");
    QTest::addColumn<bool>("inPluginDir");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("plug-in beside the runner, SIGTERM")
        << kWatch << QByteArray() << false << SIGTERM;
    QTest::newRow("plug-in by path, SIGINT")
        << kWatch + QStringList{ORVA_PLUGIN_PATH} << QByteArray() << false << SIGINT;
    QTest::newRow("plug-in file name in the working directory")
        << kWatch + QStringList{"<plugin-name>"} << QByteArray() << true << SIGTERM;
    // No file name holds a NUL: the worker stays idle, the host goes on.
    QTest::newRow("NUL in watchPath")
        << QStringList{"-c", "<config>"} << QByteArray(R"({"watchPath": ".\u0000x"})") << false
        << SIGTERM;
}

// Log records, ready, the whole first tree; the tree follows the directory,
// at most one tree per event-loop turn; a signal ends the run cleanly.
void TestRunner::runsAndEndsOnSignal()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, configText);
    QFETCH(bool, inPluginDir);
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    QVERIFY(writeFile(dir.filePath("usb-sda1.label"), "My\\x20Disk\n"));
    QVERIFY(writeFile(dir.filePath("orva.json"), configText));
    HostRun host(QStringList{"--json"} + expand(arguments, dir.path(), dir.filePath("orva.json")),
                 inPluginDir ? kPlugin.absolutePath() : dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(host.kinds.contains("tree"), kTimeoutMs);
    const int ready = host.kinds.indexOf("ready");
    QVERIFY(ready > 0);
    QCOMPARE(host.kinds.mid(0, ready + 2).join(' '),
             QString("log ").repeated(ready) + "ready tree");
    // The last record before ready: the worker's INFO line, or the ERROR
    // line that is all an idle worker logs.
    const bool idle = !configText.isEmpty();
    const QJsonObject last = host.events.at(ready - 1);
    QCOMPARE(last["level"].toString() + ' ' + last["message"].toString(),
             idle ? "ERROR Watch path '." + QString(QChar(0)) + "x' does not exist"
                  : "INFO Watching path " + QFileInfo(dir.path()).canonicalFilePath() +
                        " for prefixes usb- and notifications usb-");
    QCOMPARE(ready == 1, idle);
    QCOMPARE(last["logger"].toString(), QString("CB_StorageLink"));
    QVERIFY(last["line"].toInt() > 0 && !last["function"].toString().isEmpty());
    // Every node with every key; the link's description is its label
    // file's text with its escape decoded.
    const QByteArray link = R"({"path": "/CMStorageLinkWorker/usb-sda1", "kind": "link",)"
                            R"( "id": "sda1", "title": "USB1", "description": "My Disk",)"
                            R"( "icon": "", "playable": true, "target": "/media/usb-sda1"})";
    QCOMPARE(QJsonDocument(host.lastTree()).toJson(QJsonDocument::Compact),
             compact(R"([{"path": "/CMStorageLinkWorker", "kind": "list", "id": "",)"
                     R"( "title": "Storage Watcher", "description": "", "icon": "",)"
                     R"( "playable": false, "rows": [)" +
                     QByteArray(idle ? "" : "\"/CMStorageLinkWorker/usb-sda1\"") +
                     R"(]}, {"path": "/CMStorageLinkWorker/notification", "kind": "ui",)"
                     R"( "id": "", "title": "Attaching new device...", "description": "",)"
                     R"( "icon": "skin:iconLoading", "playable": false})" +
                     (idle ? QByteArray() : "," + link) + "]"));
    if (!idle) {
        QVERIFY(QDir(dir.path()).rmdir("usb-sda1"));
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(host.lastTree()).isEmpty(), kTimeoutMs);
        QCOMPARE(linkTitles(host.lastTree()), QStringList());
        QVERIFY(QDir(dir.path()).mkdir("usb-sdb1"));
        QTRY_COMPARE_WITH_TIMEOUT(linkTitles(host.lastTree()), QStringList{"USB1"}, kTimeoutMs);
        QCOMPARE(rowsOf(host.lastTree()), QStringList{kListPath + "/usb-sdb1"});
        // Rescans (D ... L) and trees (T): none inside a rescan, at most one
        // after it.
        QString order;
        for (const QJsonObject &event : host.events)
            order += event["message"].toString().startsWith("dirChanged: ") ? "D"
                     : event["message"].toString().startsWith("Leave ")     ? "L"
                     : event["event"] == "tree"                             ? "T"
                                                                            : "";
        QVERIFY2(!order.contains(QRegularExpression("D[^L]*T|L[^D]*T[^D]*T")), qPrintable(order));
    }
    QVERIFY(host.finish(signalNumber));
    QCOMPARE(host.process.exitCode(), 0);
    QCOMPARE(host.kinds.indexOf("exit"), host.events.size() - 1);
    QCOMPARE(host.events.constLast(), QJsonObject({{"event", "exit"}, {"code", 0}}));
    QVERIFY(host.strayLines.isEmpty());
}

void TestRunner::exitStatus_data()
{
    QTest::addColumn<QByteArray>("configText");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QByteArray &config, const QStringList &arguments,
                        int code, const QStringList &expected) {
        QTest::newRow(name) << config << arguments << code << expected;
    };
    // Usage errors and bad files: one line naming the file or the option.
    row("invalid JSON", "{\n  \"watchPath\": \"/tmp\",,\n}\n", {"-c", "<config>"}, 2,
        {"<config>", "line 2, column 23"});
    row("not an object", R"([["usb-", "USB"]])", {"--config", "<config>"}, 2,
        {"<config>", "expected a JSON object"});
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
        "log4cplus.rootLogger=INFO, A\nlog4cplus.appender.A=log4cplus::NoSuchAppender\n",
        {"--log-config", "<config>"}, 2, {"<config>", "log4cplus::NoSuchAppender"});
    // Plug-ins that cannot be loaded: the loader's message.
    row("missing plug-in", "", {"--watch", "<dir>", "/nonexistent/liborva_x.so"}, 1,
        {"/nonexistent/liborva_x.so"});
    row("no worker_create", "", {"--watch", "<dir>", ORVA_NOT_A_PLUGIN_PATH}, 1, {"worker_create"});
    row("plug-in file name, not in the working directory", "",
        {"--watch", "<dir>", "<plugin-name>"}, 1, {"<dir>/<plugin-name>"});
    // Information on stdout, without --json.
    row("--version", "", {"--version"}, 0, {"orva-host " ORVA_VERSION});
    row("--help", "", {"--help"}, 0, {"Usage: "});
}

void TestRunner::exitStatus()
{
    QFETCH(QByteArray, configText);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    const QString config = dir.filePath("orva.json");
    QVERIFY(configText.isEmpty() || writeFile(config, configText));
    expected = expand(expected, dir.path(), config);
    arguments = expand(arguments, dir.path(), config);
    HostRun host(code ? QStringList{"--json"} + arguments : arguments, dir.path());
    QVERIFY(host.finish());
    QCOMPARE(host.process.exitCode(), code);
    if (code == 0) {
        QVERIFY2(host.out().startsWith(expected.first()), qPrintable(host.out()));
        QVERIFY(arguments.contains("--help") || host.strayLines == expected);
        return;
    }
    const QString error = host.err();
    QCOMPARE(error.count('\n'), 1);
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(error));
    // No ready; the stream ends with its exit event even when the command
    // line is wrong.
    QCOMPARE(host.kinds, QStringList{"exit"});
    QCOMPARE(host.events.constLast(), QJsonObject({{"event", "exit"}, {"code", code}}));
    QVERIFY(host.strayLines.isEmpty());
}

void TestRunner::logging_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("fileLevel");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("--json: every level")
        << true << QStringList() << QByteArray() << QStringList{"DEBUG", "INFO", "WARN"};
    QTest::newRow("--json --log-level")
        << true << QStringList{"--log-level", "warn"} << QByteArray() << QStringList{"WARN"};
    QTest::newRow("--json, --log-config at INFO")
        << true << QStringList() << QByteArray("INFO") << QStringList{"INFO", "WARN"};
    // The human view shows INFO and above, whatever the file lets through.
    QTest::newRow("human view, --log-config at DEBUG")
        << false << QStringList() << QByteArray("DEBUG") << QStringList{"INFO", "WARN"};
}

// The levels that reach the view, and a file appender of --log-config that
// gets the file's levels; the file's console appenders are left out, or
// they would show every record a second time, and on stdout break the JSON
// stream.
void TestRunner::logging()
{
    QFETCH(bool, json);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, fileLevel);
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    const QString records = dir.filePath("records.log");
    if (!fileLevel.isEmpty()) {
        arguments << "--log-config" << dir.filePath("log.properties");
        QVERIFY(writeFile(arguments.constLast(),
                          "log4cplus.rootLogger=" + fileLevel + ", Out, Err, File\n" +
                              "log4cplus.appender.Out=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err.logToStdErr=true\n"
                              "log4cplus.appender.File=log4cplus::FileAppender\n"
                              "log4cplus.appender.File.File=" +
                              records.toUtf8() +
                              "\nlog4cplus.appender.File.layout=log4cplus::PatternLayout\n"
                              "log4cplus.appender.File.layout.ConversionPattern=%p %m%n\n"));
    }
    // The one-field item is rejected with a WARN line.
    arguments << "-c" << dir.filePath("orva.json") << "--watch" << dir.path();
    QVERIFY(
        writeFile(dir.filePath("orva.json"), R"({"watchPrefixes": [["usb-", "USB"], ["mmc-"]]})"));
    HostRun host(json ? QStringList{"--json"} + arguments : arguments);
    QTRY_VERIFY_WITH_TIMEOUT(host.out().contains("USB1") || !linkTitles(host.lastTree()).isEmpty(),
                             kTimeoutMs);
    QVERIFY(host.finish(SIGTERM));
    QCOMPARE(host.process.exitCode(), 0);

    // What the view showed, as the human view shows it on stderr.
    QString view = host.err();
    for (const QJsonObject &event : host.events)
        view += QString(" %1 CB_StorageLink: %2\n")
                    .arg(event["level"].toString(), event["message"].toString());
    for (const QString &level : QStringList{"TRACE", "DEBUG", "INFO", "WARN", "ERROR"})
        QVERIFY2(view.contains(QRegularExpression(" " + level + " +CB_StorageLink: ")) ==
                     shown.contains(level),
                 qPrintable(level + '\n' + view));
    QCOMPARE(view.count("Watching path "), int(shown.contains("INFO")));
    QVERIFY2(json ? host.strayLines.isEmpty() : !host.out().contains("CB_StorageLink"),
             qPrintable(host.out()));
    QFile file(records);
    const QString written = file.open(QIODevice::ReadOnly) ? file.readAll() : QString();
    QCOMPARE(written.contains(QRegularExpression("(^|\n)INFO Watching path ")),
             !fileLevel.isEmpty());
    QCOMPARE(written.contains("DEBUG dirChanged: "), fileLevel == "DEBUG");
}

// Names and labels come from whoever writes the watched directory.
void TestRunner::humanViewEscapesTerminalControls()
{
    QTemporaryDir dir;
    const QString forged = "usb-a\nFAKE ERROR forged";
    QVERIFY(QDir(dir.path()).mkdir(forged));
    QVERIFY(QDir(dir.path()).mkdir("usb-\x1b]0;retitled\x07"));
    QVERIFY(QDir(dir.path()).mkdir("usb-\x1b[2J"));
    // ESC [ 2 J, RIGHT-TO-LEFT OVERRIDE and the one-character CSI, as escapes.
    QVERIFY(
        writeFile(dir.filePath(forged + ".label"), "a\\x1b[2Jb\\xe2\\x80\\xaec\\xc2\\x9bd\\\\\n"));
    HostRun host({"--watch", dir.path(), "--prefix", "usb-:USB"});
    QTRY_VERIFY_WITH_TIMEOUT(host.out().contains("USB3"), kTimeoutMs);
    QVERIFY(host.finish(SIGTERM));
    const QString out = host.out();
    const QString err = host.err();
    // Line by line: a line break inside a name or label would start a line.
    for (const QString &line : (out + '\n' + err).split('\n')) {
        QVERIFY2(!line.startsWith("FAKE"), qPrintable(line));
        for (const QChar c : line) {
            const ushort u = c.unicode();
            QVERIFY2(u >= 0x20 && u != 0x7f && !(u >= 0x80 && u < 0xa0) && u != 0x202e,
                     qPrintable(QString::number(u, 16)));
        }
    }
    QVERIFY2(out.contains("description: a\\x1b[2Jb\\u202ec\\x9bd\\\\"), qPrintable(out));
    QVERIFY(out.contains("(link /CMStorageLinkWorker/usb-a\\x0aFAKE ERROR forged)"));
    QVERIFY(out.contains("usb-\\x1b]0;retitled\\x07"));
    QVERIFY(err.contains("usb-\\x1b[2J"));
}

void TestRunner::closedOutputEndsCleanly_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<bool>("changeAfterwards");
    // What was written before head went may sit in the pipe unread: the next
    // write fails. A reader that has read up to the first tree goes while
    // the runner has nothing more to write: the pipe reports it.
    QTest::newRow("head -2, then a change") << "head -n 2" << true;
    QTest::newRow("a reader that goes while the runner is idle")
        << "sed -n '1,2p; /\"event\":\"tree\"/q'" << false;
}

// orva-host --json | head -2: the reader goes, the runner cleans up.
void TestRunner::closedOutputEndsCleanly()
{
    QFETCH(QString, reader);
    QFETCH(bool, changeAfterwards);
    QProcess head;
    QProcess host;
    host.setStandardOutputProcess(&head);
    head.start("sh", {"-c", reader});
    host.start(ORVA_HOST_PATH, {"--json"});
    QVERIFY(head.waitForFinished(kTimeoutMs));
    QCOMPARE(head.readAllStandardOutput().count('\n'), 2);
    QString error;
    QTRY_VERIFY_WITH_TIMEOUT(!watchDirectoryIn(error += host.readAllStandardError()).isEmpty(),
                             kTimeoutMs);
    const QString watchDir = watchDirectoryIn(error);
    if (changeAfterwards)
        QDir(watchDir).mkdir("usb-sda1"); // the runner may be gone already
    QVERIFY(host.waitForFinished(kTimeoutMs));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    error += host.readAllStandardError();
    QVERIFY2(error.contains("orva-host: stopping: standard output is closed"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(watchDir));
}

// Devices come (one labelled, a card announced before it is mounted), two
// go, the numbering resets, and a device announced but never mounted shows
// the notification row (+) until its time is up.
void TestRunner::demoPlaysToTheEnd()
{
    HostRun host({"--demo", "--json", "--step-ms", "100"});
    QVERIFY(host.finish(0, 30000));
    QCOMPARE(host.process.exitCode(), 0);
    QStringList trees;
    for (const QJsonObject &event : host.events) {
        const QJsonArray tree = event["nodes"].toArray();
        if (event["event"] == "tree")
            trees << linkTitles(tree).join(' ') +
                         (rowsOf(tree).contains(kListPath + "/notification") ? "+" : "");
    }
    QCOMPARE(trees, QStringList({"", "USB1", "USB1+", "Card1 USB1", "Card1 USB1 USB2", "Card1 USB2",
                                 "Card1", "Card1 USB1", "Card1 USB1+", "Card1 USB1"}));
    const QString watchDir = watchDirectoryIn(host.err());
    QVERIFY(!watchDir.isEmpty());
    QVERIFY(!QFileInfo::exists(watchDir));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
