// SPDX-License-Identifier: MIT
// orva-host run as a subprocess against real directories: its JSON events,
// its exit codes and messages, its logging, its human view, its response to
// signals and to a reader that goes, and the demo.
#include <QtTest>

#include <csignal>

namespace {

constexpr int kTimeoutMs = 10000;
const QFileInfo kPlugin(QStringLiteral(ORVA_PLUGIN_PATH));

// One run of orva-host. Each line on stdout is kept, with the JSON object
// it holds (empty for a line of the human view) and that event's kind.
struct HostRun
{
    explicit HostRun(const QStringList &arguments, const QString &workingDirectory = QString())
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { read(); });
        process.setWorkingDirectory(workingDirectory);
        process.start(QStringLiteral(ORVA_HOST_PATH), arguments);
    }
    // Ends it with the signal, if one is given: its exit status, or -1 when
    // it did not end normally.
    int finish(int signalNumber = 0, int timeoutMs = kTimeoutMs)
    {
        if (signalNumber)
            ::kill(pid_t(process.processId()), signalNumber);
        process.waitForFinished(timeoutMs);
        read();
        const bool ended =
            process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit;
        return ended ? process.exitCode() : -1;
    }
    void read()
    {
        while (process.canReadLine()) {
            lines << QString::fromUtf8(process.readLine()).trimmed();
            events << QJsonDocument::fromJson(lines.constLast().toUtf8()).object();
            kinds << events.constLast()["event"].toString();
        }
    }
    QJsonArray tree() const { return events.value(kinds.lastIndexOf("tree"))["nodes"].toArray(); }
    QString out() const { return lines.join('\n'); }
    QString err() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    QStringList lines;
    QList<QJsonObject> events;
    QStringList kinds;
    QProcess process; // last: it goes first, while what read() fills is still there
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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
    return tree.at(0)["rows"].toVariant().toStringList();
}

// The directory that the runner made for its built-in configuration.
QString watchDirectoryIn(const QString &errorText)
{
    return QRegularExpression("watch directory (\\S+)").match(errorText).captured(1);
}

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
    // Ready, then ended by a signal: exit status 0. No file name holds a
    // NUL: that worker stays idle, the host goes on.
    row("plug-in beside the runner, SIGTERM", "", kWatch, 0, {}, SIGTERM);
    row("plug-in by path, SIGINT", "", kWatch + QStringList{ORVA_PLUGIN_PATH}, 0, {}, SIGINT);
    row("plug-in file name, SIGTERM", "", kWatch + QStringList{"<plugin-name>"}, 0, {}, SIGTERM);
    row("NUL in watchPath", R"({"watchPath": ".\u0000x"})", {"-c", "<config>"}, 0, {}, SIGTERM);
    // Usage errors and bad files: one line naming the file or the option.
    row("invalid JSON", "{\n  \"watchPath\": \"/tmp\",,\n}\n", {"-c", "<config>"}, 2,
        {"<config>", "line 2, column 23"});
    row("not an object", "[1]", {"--config", "<config>"}, 2,
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
        "log4cplus.rootLogger=INFO, A\nlog4cplus.appender.A=X\n", {"--log-config", "<config>"}, 2,
        {"<config>", "unknown appender class X"});
    // Plug-ins that cannot be loaded: the loader's message.
    row("missing plug-in", "", {"--watch", "<dir>", "/nonexistent/x.so"}, 1, {"/nonexistent/x.so"});
    row("no worker_create", "", {"--watch", "<dir>", ORVA_NOT_A_PLUGIN_PATH}, 1, {"worker_create"});
    row("plug-in file name, not in the working directory", "",
        {"--watch", "<dir>", "<plugin-name>"}, 1, {"<dir>/<plugin-name>"});
}

// A run that fails ends at once with its status, one line on stderr and the
// exit event. One that runs: log records, ready, the whole first tree; the
// tree follows the directory, at most one tree per event-loop turn; a
// signal ends the run cleanly.
void TestRunner::exitPaths()
{
    QFETCH(QByteArray, configText);
    QFETCH(QStringList, arguments);
    QFETCH(int, signalNumber);
    QFETCH(int, code);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    QVERIFY(writeFile(dir.filePath("usb-sda1.label"), "My\\x20Disk\n"));
    QVERIFY(writeFile(dir.filePath("orva.json"), configText));
    // The working directory (the watched one) holds the plug-in unless the
    // run is to fail.
    QVERIFY(code || QFile::link(kPlugin.filePath(), dir.filePath(kPlugin.fileName())));
    for (QStringList *texts : {&arguments, &expected})
        texts->replaceInStrings("<dir>", dir.path())
            .replaceInStrings("<config>", dir.filePath("orva.json"))
            .replaceInStrings("<plugin-name>", kPlugin.fileName());
    HostRun host(QStringList{"--json"} + arguments, dir.path());
    const bool idle = arguments.contains("-c");
    if (!code) {
        QTRY_VERIFY_WITH_TIMEOUT(host.kinds.contains("tree"), kTimeoutMs);
        const int ready = host.kinds.indexOf("ready");
        QCOMPARE(host.kinds.mid(0, ready + 2).join(' '),
                 QString("log ").repeated(ready) + "ready tree");
        // The last record before ready: the worker's INFO line, or the ERROR
        // line that is all an idle worker logs.
        const QJsonObject last = host.events.value(ready - 1);
        QCOMPARE(QStringList({last["level"].toString(), last["logger"].toString(),
                              last["message"].toString()}),
                 QStringList({idle ? "ERROR" : "INFO", "CB_StorageLink",
                              idle ? "Watch path '." + QString(QChar(0)) + "x' does not exist"
                                   : "Watching path " + QFileInfo(dir.path()).canonicalFilePath() +
                                         " for prefixes usb- and notifications usb-"}));
        QCOMPARE(ready == 1, idle);
        QVERIFY(last["line"].toInt() > 0 && !last["function"].toString().isEmpty());
    }
    if (!code && !idle) {
        // Every node with every key; the link's description is its label
        // file's text with its escape decoded.
        QCOMPARE(QJsonDocument(host.tree()).toJson(QJsonDocument::Compact),
                 R"([{"description":"","icon":"","id":"","kind":"list",)"
                 R"("path":"/CMStorageLinkWorker","playable":false,)"
                 R"("rows":["/CMStorageLinkWorker/usb-sda1"],"title":"Storage Watcher"},)"
                 R"({"description":"","icon":"skin:iconLoading","id":"","kind":"ui",)"
                 R"("path":"/CMStorageLinkWorker/notification","playable":false,)"
                 R"("title":"Attaching new device..."},{"description":"My Disk","icon":"",)"
                 R"("id":"sda1","kind":"link","path":"/CMStorageLinkWorker/usb-sda1",)"
                 R"("playable":true,"target":"/media/usb-sda1","title":"USB1"}])");
        QVERIFY(QDir(dir.path()).rmdir("usb-sda1"));
        QTRY_VERIFY_WITH_TIMEOUT(rowsOf(host.tree()).isEmpty(), kTimeoutMs);
        QCOMPARE(linkTitles(host.tree()), QStringList());
        QVERIFY(QDir(dir.path()).mkdir("usb-sdb1"));
        QTRY_COMPARE_WITH_TIMEOUT(linkTitles(host.tree()), QStringList{"USB1"}, kTimeoutMs);
        QCOMPARE(rowsOf(host.tree()), QStringList{"/CMStorageLinkWorker/usb-sdb1"});
        // Rescans (D ... L) and trees (T): none inside a rescan, at most one
        // after it.
        QString order;
        for (const QJsonObject &event : host.events) {
            const QString word = event["message"].toString().section(' ', 0, 0);
            order += word == "dirChanged:"      ? "D"
                     : word == "Leave"          ? "L"
                     : event["event"] == "tree" ? "T"
                                                : "";
        }
        QVERIFY2(!order.contains(QRegularExpression("D[^L]*T|L[^D]*T[^D]*T")), qPrintable(order));
    }
    QCOMPARE(host.finish(signalNumber), code);
    // Nothing but JSON on stdout, the exit event last and only there, no
    // ready when the run failed; its one line on stderr names the fault.
    QCOMPARE(host.kinds.indexOf("exit"), host.kinds.size() - 1);
    QCOMPARE(host.events.value(host.kinds.indexOf("exit")),
             QJsonObject({{"event", "exit"}, {"code", code}}));
    QCOMPARE(host.kinds.contains("ready"), code == 0);
    QVERIFY(!host.kinds.contains(QString()));
    const QString error = host.err();
    QVERIFY2(code == 0 || error.count('\n') == 1, qPrintable(error));
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(error));
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
// gets the file's levels; the file's console appenders are left out, or
// they would show every record a second time, and on stdout break the JSON
// stream. Names and labels come from whoever writes the watched directory:
// the human view escapes what a terminal would act on.
void TestRunner::views()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, fileLevel);
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    const QString forged = "usb-a\nFAKE ERROR forged";
    for (const QString &entry : {forged, QString("usb-\x1b]0;title\x07"), QString("usb-\x1b[2J")})
        QVERIFY(QDir(dir.path()).mkdir(entry));
    // ESC [ 2 J, RIGHT-TO-LEFT OVERRIDE and the one-character CSI, as escapes.
    QVERIFY(
        writeFile(dir.filePath(forged + ".label"), "a\\x1b[2Jb\\xe2\\x80\\xaec\\xc2\\x9bd\\\\\n"));
    if (!fileLevel.isEmpty()) {
        arguments << "--log-config" << dir.filePath("log.properties");
        QVERIFY(writeFile(arguments.constLast(),
                          "log4cplus.rootLogger=" + fileLevel + ", Out, Err, File\n" +
                              "log4cplus.appender.Out=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err.logToStdErr=true\n"
                              "log4cplus.appender.File=log4cplus::FileAppender\n"
                              "log4cplus.appender.File.File=" +
                              dir.filePath("records.log").toUtf8() + "\n"));
    }
    // The one-field item is rejected with a WARN line.
    arguments << "-c" << dir.filePath("orva.json") << "--watch" << dir.path();
    QVERIFY(writeFile(dir.filePath("orva.json"), R"({"watchPrefixes": [["usb-", "U"], ["m"]]})"));
    const bool json = arguments.contains("--json");
    HostRun host(arguments);
    QTRY_VERIFY_WITH_TIMEOUT(host.out().contains("U3") || linkTitles(host.tree()).size() == 3,
                             kTimeoutMs);
    QCOMPARE(host.finish(SIGTERM), 0);

    // What the view showed, as the human view shows it on stderr.
    const QString out = host.out(), err = host.err();
    QString view = err;
    for (const QJsonObject &event : host.events)
        view += QString(" %1 CB_StorageLink: %2\n")
                    .arg(event["level"].toString(), event["message"].toString());
    for (const QString &level : QStringList{"TRACE", "DEBUG", "INFO", "WARN", "ERROR"})
        QVERIFY2(view.contains(QRegularExpression(" " + level + " +CB_StorageLink: ")) ==
                     shown.contains(level),
                 qPrintable(level + '\n' + view));
    QCOMPARE(view.count("Watching path "), int(shown.contains("INFO")));
    QVERIFY(json ? !host.kinds.contains(QString()) : !out.contains("CB_StorageLink"));
    QFile file(dir.filePath("records.log"));
    const QString written = file.open(QIODevice::ReadOnly) ? file.readAll() : QString();
    QCOMPARE(written.contains(QRegularExpression("(^|\n)INFO - Watching path ")),
             !fileLevel.isEmpty());
    QCOMPARE(written.contains("DEBUG - dirChanged: "), fileLevel == "DEBUG");
    if (json)
        return;
    // C0, DEL, C1 and the override; a line break inside a name or label
    // would start a line.
    QVERIFY2(
        !(out + '\n' + err).contains(QRegularExpression("(?!\\n)[\\p{Cc}\\x{202e}]|(^|\\n)FAKE")),
        qPrintable(out + '\n' + err));
    QVERIFY2(out.contains("description: a\\x1b[2Jb\\u202ec\\x9bd\\\\"), qPrintable(out));
    QVERIFY(out.contains("(link /CMStorageLinkWorker/usb-a\\x0aFAKE ERROR forged)"));
    QVERIFY(out.contains("usb-\\x1b]0;title\\x07"));
    QVERIFY(err.contains("usb-\\x1b[2J"));
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

// orva-host --json | head -2: the reader goes, the runner cleans up.
void TestRunner::closedOutputEndsCleanly()
{
    QFETCH(QString, reader);
    QProcess head, host;
    host.setStandardOutputProcess(&head);
    head.start("sh", {"-c", reader});
    host.start(ORVA_HOST_PATH, {"--json"});
    QVERIFY(head.waitForFinished(kTimeoutMs));
    QCOMPARE(head.readAllStandardOutput().count('\n'), 2);
    QString error;
    QTRY_VERIFY_WITH_TIMEOUT(!watchDirectoryIn(error += host.readAllStandardError()).isEmpty(),
                             kTimeoutMs);
    const QString watchDir = watchDirectoryIn(error);
    if (reader.startsWith("head"))
        QDir(watchDir).mkdir("usb-sda1"); // the runner may be gone already
    QVERIFY(host.waitForFinished(kTimeoutMs));
    QVERIFY(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0);
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
    QCOMPARE(host.finish(0, 30000), 0);
    QStringList trees;
    for (const QJsonObject &event : host.events) {
        const QJsonArray tree = event["nodes"].toArray();
        const bool row = rowsOf(tree).contains("/CMStorageLinkWorker/notification");
        if (event["event"] == "tree")
            trees << linkTitles(tree).join(' ') + QString("+").repeated(row);
    }
    QCOMPARE(trees, QStringList({"", "USB1", "USB1+", "Card1 USB1", "Card1 USB1 USB2", "Card1 USB2",
                                 "Card1", "Card1 USB1", "Card1 USB1+", "Card1 USB1"}));
    const QString watchDir = watchDirectoryIn(host.err());
    QVERIFY(!watchDir.isEmpty() && !QFileInfo::exists(watchDir));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
