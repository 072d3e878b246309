// SPDX-License-Identifier: MIT
// orva-host run as a subprocess with --json against real directories: its
// events, its exit codes, its response to signals, and the demo.
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

// One run of orva-host; stdout is parsed into events as it arrives.
class HostRun
{
public:
    explicit HostRun(const QStringList &arguments, const QString &workingDirectory = QString())
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { readEvents(); });
        m_process.setWorkingDirectory(workingDirectory);
        m_process.start(QStringLiteral(ORVA_HOST_PATH), arguments);
    }

    ~HostRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool finish(int timeoutMs = kTimeoutMs)
    {
        const bool done =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
        readEvents();
        return done && m_process.exitStatus() == QProcess::NormalExit;
    }

    void signal(int signalNumber) const { ::kill(pid_t(m_process.processId()), signalNumber); }

    int exitCode() const { return m_process.exitCode(); }
    QString errorText() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    const QList<QJsonObject> &events() const { return m_events; }
    // Lines on stdout that are not JSON objects: none with --json, the
    // human view's lines without.
    const QStringList &strayLines() const { return m_strayLines; }

    int indexOf(const QString &event) const
    {
        for (int i = 0; i < m_events.size(); ++i)
            if (m_events.at(i).value("event").toString() == event)
                return i;
        return -1;
    }

    QJsonArray lastTree() const
    {
        for (int i = m_events.size() - 1; i >= 0; --i)
            if (m_events.at(i).value("event").toString() == QLatin1String("tree"))
                return m_events.at(i).value("nodes").toArray();
        return QJsonArray();
    }

private:
    void readEvents()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject())
                m_events.append(document.object());
            else
                m_strayLines.append(QString::fromUtf8(line));
        }
    }

    QProcess m_process;
    QList<QJsonObject> m_events;
    QStringList m_strayLines;
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList watchArguments(const QString &directory)
{
    return {QStringLiteral("--json"),        QStringLiteral("--watch"),  directory,
            QStringLiteral("--link-prefix"), QStringLiteral("/media/"),  QStringLiteral("--prefix"),
            QStringLiteral("usb-:USB"),      QStringLiteral("--notify"), QStringLiteral("usb-")};
}

QJsonObject nodeAt(const QJsonArray &tree, const QString &path)
{
    for (const QJsonValue &node : tree)
        if (node.toObject().value("path").toString() == path)
            return node.toObject();
    return QJsonObject();
}

QStringList linkTitles(const QJsonArray &tree)
{
    QStringList titles;
    for (const QJsonValue &node : tree)
        if (node.toObject().value("kind").toString() == QLatin1String("link"))
            titles.append(node.toObject().value("title").toString());
    return titles;
}

QStringList rowsOf(const QJsonObject &node)
{
    QStringList rows;
    for (const QJsonValue &row : node.value("rows").toArray())
        rows.append(row.toString());
    return rows;
}

// Every node carries the common keys; only links have a target, only lists rows.
void verifyNodeShapes(const QJsonArray &tree)
{
    QString previous;
    for (const QJsonValue &value : tree) {
        const QJsonObject node = value.toObject();
        for (const char *key : {"path", "kind", "title", "id", "description", "icon"})
            QVERIFY2(node.value(key).isString(), key);
        QVERIFY(node.value("playable").isBool());
        const QString kind = node.value("kind").toString();
        QVERIFY(QStringList({"list", "link", "ui"}).contains(kind));
        QCOMPARE(node.contains("target"), kind == QLatin1String("link"));
        QCOMPARE(node.value("rows").isArray(), kind == QLatin1String("list"));
        QVERIFY(previous < node.value("path").toString());
        previous = node.value("path").toString();
    }
}

// The directory that the runner made for its built-in configuration.
QString watchDirectoryIn(const QString &errorText)
{
    return QRegularExpression("watch directory (\\S+)").match(errorText).captured(1);
}

QStringList linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT
private slots:
    void readyAndFirstTree_data();
    void readyAndFirstTree();
    void linkFollowsDirectory();
    void unresolvedWatchPath_data();
    void unresolvedWatchPath();
    void logLevels_data();
    void logLevels();
    void badUsageOrConfig_data();
    void badUsageOrConfig();
    void informationOptions_data();
    void informationOptions();
    void logConfigLeavesTheConsoleToTheView_data();
    void logConfigLeavesTheConsoleToTheView();
    void unloadablePlugin_data();
    void unloadablePlugin();
    void pluginFileNameInWorkingDirectory();
    void humanViewEscapesTerminalControls();
    void closedOutputEndsCleanly_data();
    void closedOutputEndsCleanly();
    void signalEndsCleanly_data();
    void signalEndsCleanly();
    void demoPlaysToTheEnd();
};

void TestRunner::readyAndFirstTree_data()
{
    QTest::addColumn<QStringList>("plugin");
    QTest::newRow("plug-in beside the runner") << QStringList();
    QTest::newRow("plug-in by path") << QStringList{ORVA_PLUGIN_PATH};
}

void TestRunner::readyAndFirstTree()
{
    QFETCH(QStringList, plugin);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    QVERIFY(writeFile(dir.filePath("usb-sda1.label"), "My\\x20Disk\n"));

    HostRun host(watchArguments(dir.path()) + plugin);
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    const int ready = host.indexOf("ready");
    QVERIFY(ready > 0);
    for (int i = 0; i < ready; ++i)
        QCOMPARE(host.events().at(i).value("event").toString(), QString("log"));
    const QJsonObject watching = host.events().at(ready - 1);
    QCOMPARE(watching.value("level").toString(), QString("INFO"));
    QCOMPARE(watching.value("logger").toString(), QString("CB_StorageLink"));
    QCOMPARE(watching.value("message").toString(), "Watching path " +
                                                       QFileInfo(dir.path()).canonicalFilePath() +
                                                       " for prefixes usb- and notifications usb-");
    QVERIFY(watching.value("line").toInt() > 0);
    QVERIFY(!watching.value("function").toString().isEmpty());
    QCOMPARE(host.indexOf("tree"), ready + 1);

    const QJsonArray tree = host.lastTree();
    verifyNodeShapes(tree);
    const QString linkPath = kListPath + "/usb-sda1";
    QCOMPARE(nodeAt(tree, kListPath).value("title").toString(), QString("Storage Watcher"));
    QCOMPARE(rowsOf(nodeAt(tree, kListPath)), QStringList{linkPath});
    const QJsonObject link = nodeAt(tree, linkPath);
    QCOMPARE(link.value("title").toString(), QString("USB1"));
    QCOMPARE(link.value("id").toString(), QString("sda1"));
    QCOMPARE(link.value("description").toString(), QString("My Disk"));
    QCOMPARE(link.value("target").toString(), QString("/media/usb-sda1"));
    QCOMPARE(link.value("playable").toBool(), true);
    QCOMPARE(nodeAt(tree, kListPath + "/notification").value("icon").toString(),
             QString("skin:iconLoading"));
    QVERIFY(host.strayLines().isEmpty());
}

void TestRunner::linkFollowsDirectory()
{
    QTemporaryDir dir;
    HostRun host(watchArguments(dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    QCOMPARE(linkTitles(host.lastTree()), QStringList());

    const QString linkPath = kListPath + "/usb-sdb1";
    QVERIFY(QDir(dir.path()).mkdir("usb-sdb1"));
    QTRY_COMPARE_WITH_TIMEOUT(nodeAt(host.lastTree(), linkPath).value("title").toString(),
                              QString("USB1"), kTimeoutMs);
    QCOMPARE(rowsOf(nodeAt(host.lastTree(), kListPath)), QStringList{linkPath});

    QVERIFY(QDir(dir.path()).rmdir("usb-sdb1"));
    QTRY_VERIFY_WITH_TIMEOUT(nodeAt(host.lastTree(), linkPath).isEmpty(), kTimeoutMs);
    QCOMPARE(rowsOf(nodeAt(host.lastTree(), kListPath)), QStringList());
    verifyNodeShapes(host.lastTree());

    // One tree per event-loop turn: none inside a rescan, at most one after it.
    bool inRescan = false;
    int treesSinceRescan = 0;
    for (const QJsonObject &event : host.events()) {
        const QString message = event.value("message").toString();
        if (message.startsWith("dirChanged: ")) {
            inRescan = true;
            treesSinceRescan = 0;
        } else if (message.startsWith("Leave ")) {
            inRescan = false;
        } else if (event.value("event").toString() == QLatin1String("tree")) {
            QVERIFY(!inRescan);
            QVERIFY(++treesSinceRescan <= 1);
        }
    }
    QVERIFY(host.strayLines().isEmpty());
}

void TestRunner::unresolvedWatchPath_data()
{
    QTest::addColumn<QByteArray>("configText");
    QTest::addColumn<QString>("configured");
    QTest::newRow("no such directory")
        << QByteArray(R"({"watchPath": "/nonexistent/storage"})") << "/nonexistent/storage";
    // No file name holds a NUL; Qt would hand such a path back unresolved.
    QTest::newRow("NUL after a dot")
        << QByteArray(R"({"watchPath": ".\u0000x", "linkPrefix": "/media/",)"
                      R"( "watchPrefixes": [["usb-","USB"]]})")
        << QStringLiteral(".") + QChar(0) + QStringLiteral("x");
}

// The worker stays idle; the host goes on and ends normally.
void TestRunner::unresolvedWatchPath()
{
    QFETCH(QByteArray, configText);
    QFETCH(QString, configured);
    QTemporaryDir dir;
    const QString config = dir.filePath("orva.json");
    QVERIFY(writeFile(config, configText));

    HostRun host({"--json", "-c", config}, dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    QVector<QJsonObject> records;
    for (const QJsonObject &event : host.events())
        if (event.value("event").toString() == QLatin1String("log"))
            records.append(event);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("level").toString(), QString("ERROR"));
    QCOMPARE(records.first().value("message").toString(),
             "Watch path '" + configured + "' does not exist");
    QVERIFY(host.indexOf("ready") >= 0);
    QCOMPARE(nodeAt(host.lastTree(), kListPath).value("title").toString(),
             QString("Storage Watcher"));

    host.signal(SIGTERM);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 0);
    QVERIFY(host.strayLines().isEmpty());
}

void TestRunner::logLevels_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("levels");
    QTest::newRow("all with --json") << QStringList() << QStringList{"DEBUG", "INFO", "WARN"};
    QTest::newRow("--log-level") << QStringList{"--log-level", "warn"} << QStringList{"WARN"};
    QTest::newRow("--log-config") << QStringList{"--log-config", "PROPERTIES"}
                                  << QStringList{"INFO", "WARN"};
}

void TestRunner::logLevels()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, levels);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    const QString properties = dir.filePath("log.properties");
    QVERIFY(writeFile(properties, "log4cplus.rootLogger=INFO\n"));
    // The one-field item is rejected with a WARN line.
    const QString config = dir.filePath("orva.json");
    QVERIFY(writeFile(config, R"({"watchPrefixes": [["usb-", "USB"], ["mmc-"]]})"));
    arguments.replaceInStrings("PROPERTIES", properties);

    HostRun host(QStringList{"--json", "-c", config, "--watch", dir.path()} + arguments);
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("ready") >= 0, kTimeoutMs);
    QStringList seen;
    for (const QJsonObject &event : host.events())
        if (event.value("event").toString() == QLatin1String("log"))
            seen.append(event.value("level").toString());
    seen.removeDuplicates();
    seen.sort();
    QCOMPARE(seen, levels);
}

void TestRunner::badUsageOrConfig_data()
{
    QTest::addColumn<QByteArray>("configText");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");

    // CONFIG stands for the path of a file holding configText.
    QTest::newRow("invalid JSON") << QByteArray("{\n  \"watchPath\": \"/tmp\",,\n}\n")
                                  << QStringList{"-c", "CONFIG"}
                                  << QStringList{"CONFIG", "line 2, column 23"};
    QTest::newRow("not an object")
        << QByteArray("[[\"usb-\", \"USB\"]]") << QStringList{"--config", "CONFIG"}
        << QStringList{"CONFIG", "expected a JSON object"};
    QTest::newRow("missing config file")
        << QByteArray() << QStringList{"--config", "/nonexistent/orva.json"}
        << QStringList{"/nonexistent/orva.json"};
    QTest::newRow("missing log config")
        << QByteArray() << QStringList{"--log-config", "/nonexistent/log.properties"}
        << QStringList{"/nonexistent/log.properties"};
    QTest::newRow("prefix without name")
        << QByteArray() << QStringList{"--prefix", "usb-"} << QStringList{"--prefix", "usb-"};
    QTest::newRow("unknown log level")
        << QByteArray() << QStringList{"--log-level", "LOUD"} << QStringList{"LOUD"};
    QTest::newRow("unknown option")
        << QByteArray() << QStringList{"--colour"} << QStringList{"colour"};
    QTest::newRow("demo with a configuration")
        << QByteArray() << QStringList{"--demo", "--watch", "/tmp"} << QStringList{"--demo"};
    QTest::newRow("step without demo")
        << QByteArray() << QStringList{"--step-ms", "100"} << QStringList{"--step-ms", "--demo"};
    QTest::newRow("log config with an unknown level")
        << QByteArray("log4cplus.rootLogger=LOUD\n") << QStringList{"--log-config", "CONFIG"}
        << QStringList{"CONFIG", "unknown level in log4cplus.rootLogger"};
    QTest::newRow("log config with an unknown threshold")
        << QByteArray("log4cplus.rootLogger=INFO, A\n"
                      "log4cplus.appender.A=log4cplus::NullAppender\n"
                      "log4cplus.appender.A.Threshold=SOMETIMES\n")
        << QStringList{"--log-config", "CONFIG"}
        << QStringList{"CONFIG", "log4cplus.appender.A.Threshold"};
    QTest::newRow("log config with an unknown appender")
        << QByteArray("log4cplus.rootLogger=INFO, A\n"
                      "log4cplus.appender.A=log4cplus::NoSuchAppender\n")
        << QStringList{"--log-config", "CONFIG"}
        << QStringList{"CONFIG", "log4cplus::NoSuchAppender"};
}

void TestRunner::badUsageOrConfig()
{
    QFETCH(QByteArray, configText);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    const QString configPath = dir.filePath("orva.json");
    if (!configText.isEmpty())
        QVERIFY(writeFile(configPath, configText));
    arguments.replaceInStrings("CONFIG", configPath);
    expected.replaceInStrings("CONFIG", configPath);

    HostRun host(QStringList{"--json"} + arguments);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 2);
    const QString error = host.errorText();
    QCOMPARE(error.count('\n'), 1);
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(error));
    QCOMPARE(host.indexOf("ready"), -1);
    // The stream ends with its exit event even when the command line is wrong.
    QVERIFY(!host.events().isEmpty());
    QCOMPARE(host.events().constLast(), QJsonObject({{"event", "exit"}, {"code", 2}}));
    QVERIFY(host.strayLines().isEmpty());
}

void TestRunner::informationOptions_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << "--version"
                               << "orva-host " ORVA_VERSION;
    QTest::newRow("-v") << "-v"
                        << "orva-host " ORVA_VERSION;
    QTest::newRow("--help") << "--help"
                            << "Usage: ";
}

void TestRunner::informationOptions()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    HostRun host({option});
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 0);
    QVERIFY(!host.strayLines().isEmpty());
    QVERIFY2(host.strayLines().first().startsWith(expected), qPrintable(host.strayLines().first()));
    if (option != QLatin1String("--help"))
        QCOMPARE(host.strayLines(), QStringList{expected});
}

void TestRunner::logConfigLeavesTheConsoleToTheView_data()
{
    QTest::addColumn<bool>("json");
    QTest::newRow("human view") << false;
    QTest::newRow("--json") << true;
}

// A console appender in the file would print every record a second time,
// and on stdout break the JSON stream; the file's other appenders get the
// file's levels, the view its own.
void TestRunner::logConfigLeavesTheConsoleToTheView()
{
    QFETCH(bool, json);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    const QString records = dir.filePath("records.log");
    const QString properties = dir.filePath("log.properties");
    QVERIFY(
        writeFile(properties, "log4cplus.rootLogger=DEBUG, Out, Err, File\n"
                              "log4cplus.appender.Out=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err=log4cplus::ConsoleAppender\n"
                              "log4cplus.appender.Err.logToStdErr=true\n"
                              "log4cplus.appender.File=log4cplus::FileAppender\n"
                              "log4cplus.appender.File.File=" +
                                  records.toUtf8() +
                                  "\n"
                                  "log4cplus.appender.File.layout=log4cplus::PatternLayout\n"
                                  "log4cplus.appender.File.layout.ConversionPattern=%p %m%n\n"));
    QStringList arguments{"--log-config", properties, "--watch",
                          dir.path(),     "--prefix", "usb-:USB"};
    if (json)
        arguments.prepend("--json");
    HostRun host(arguments);
    if (json)
        QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    else
        QTRY_VERIFY_WITH_TIMEOUT(host.strayLines().join('\n').contains("USB1"), kTimeoutMs);
    host.signal(SIGTERM);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 0);

    const QString watching = "Watching path " + QFileInfo(dir.path()).canonicalFilePath();
    const QString stdoutText = host.strayLines().join('\n');
    const QString stderrText = host.errorText();
    if (json) {
        QVERIFY2(host.strayLines().isEmpty(), qPrintable(stdoutText));
        int shown = 0;
        for (const QJsonObject &event : host.events())
            shown += event.value("message").toString().startsWith(watching) ? 1 : 0;
        QCOMPARE(shown, 1);
        QVERIFY(host.indexOf("log") >= 0);
    } else {
        QVERIFY(!stdoutText.contains(watching));
        QCOMPARE(stderrText.count(watching), 1);
        // The human view shows INFO and above, whatever the file lets through.
        QVERIFY(!stderrText.contains(" DEBUG "));
        QVERIFY(!stderrText.contains("dirChanged"));
    }
    QVERIFY(!stderrText.contains("dirChanged"));
    const QStringList written = linesOf(records);
    QVERIFY2(written.contains("DEBUG dirChanged: " + QFileInfo(dir.path()).canonicalFilePath()),
             qPrintable(written.join('\n')));
    QVERIFY(written.contains("INFO " + watching + " for prefixes usb- and notifications "));
}

void TestRunner::unloadablePlugin_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing file") << "/nonexistent/liborva_nothing.so"
                                  << "/nonexistent/liborva_nothing.so";
    QTest::newRow("no worker_create") << ORVA_NOT_A_PLUGIN_PATH << "worker_create";
}

void TestRunner::unloadablePlugin()
{
    QFETCH(QString, plugin);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    HostRun host(watchArguments(dir.path()) << plugin);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 1);
    const QString error = host.errorText();
    QVERIFY2(error.contains(expected), qPrintable(error));
    QCOMPARE(host.indexOf("ready"), -1);
    QCOMPARE(host.events().constLast().value("event").toString(), QString("exit"));
    QCOMPARE(host.events().constLast().value("code").toInt(), 1);
}

void TestRunner::pluginFileNameInWorkingDirectory()
{
    QTemporaryDir dir;
    const QFileInfo plugin(ORVA_PLUGIN_PATH);
    HostRun host(watchArguments(dir.path()) << plugin.fileName(), plugin.absolutePath());
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    host.signal(SIGTERM);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 0);

    HostRun elsewhere(watchArguments(dir.path()) << plugin.fileName(), dir.path());
    QVERIFY(elsewhere.finish());
    QCOMPARE(elsewhere.exitCode(), 1);
    const QString error = elsewhere.errorText();
    QVERIFY2(error.contains(dir.filePath(plugin.fileName())), qPrintable(error));
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
    QTRY_VERIFY_WITH_TIMEOUT(host.strayLines().join('\n').contains("USB3"), kTimeoutMs);
    host.signal(SIGTERM);
    QVERIFY(host.finish());

    const QString out = host.strayLines().join('\n');
    const QString err = host.errorText();
    // Line by line: a line break inside a name or label would start a line.
    for (const QString &line : (out + '\n' + err).split('\n')) {
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
    for (const QString &line : err.split('\n'))
        QVERIFY2(!line.startsWith("FAKE"), qPrintable(line));
}

void TestRunner::closedOutputEndsCleanly_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<bool>("changeAfterwards");
    // What was written before head went may sit in the pipe unread: the next
    // write fails, or, with nothing more to write, the pipe reports it.
    QTest::newRow("head -2, then a change") << "head -n 2" << true;
    QTest::newRow("a reader that goes while the runner is idle") << "sleep 0.5; head -n 2" << false;
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
    QTRY_VERIFY_WITH_TIMEOUT(
        !watchDirectoryIn(error += QString::fromLocal8Bit(host.readAllStandardError())).isEmpty(),
        kTimeoutMs);
    const QString watchDir = watchDirectoryIn(error);
    if (changeAfterwards)
        QDir(watchDir).mkdir("usb-sda1"); // the runner may be gone already

    QVERIFY(host.waitForFinished(kTimeoutMs));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    error += QString::fromLocal8Bit(host.readAllStandardError());
    QVERIFY2(error.contains("orva-host: stopping: standard output is closed"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(watchDir));
}

void TestRunner::signalEndsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestRunner::signalEndsCleanly()
{
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("usb-sda1"));
    HostRun host(watchArguments(dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(host.indexOf("tree") >= 0, kTimeoutMs);
    host.signal(signalNumber);
    QVERIFY(host.finish());
    QCOMPARE(host.exitCode(), 0);
    const QJsonObject last = host.events().constLast();
    QCOMPARE(last.value("event").toString(), QString("exit"));
    QCOMPARE(last.value("code").toInt(), 0);
    QCOMPARE(host.indexOf("exit"), host.events().size() - 1);
    QVERIFY(host.strayLines().isEmpty());
}

void TestRunner::demoPlaysToTheEnd()
{
    HostRun host({"--demo", "--json", "--step-ms", "100"});
    QVERIFY(host.finish(30000));
    QCOMPARE(host.exitCode(), 0);

    QList<QStringList> titles;
    QList<bool> notificationRows;
    const QString notification = kListPath + "/notification";
    for (const QJsonObject &event : host.events()) {
        if (event.value("event").toString() != QLatin1String("tree"))
            continue;
        const QJsonArray tree = event.value("nodes").toArray();
        titles.append(linkTitles(tree));
        notificationRows.append(rowsOf(nodeAt(tree, kListPath)).contains(notification));
    }
    // Devices come (one labelled, a card announced before it is mounted),
    // two go, the numbering resets, and a device announced but never mounted
    // shows the notification row until its time is up.
    const QList<QStringList> expected{{},
                                      {"USB1"},
                                      {"USB1"},
                                      {"Card1", "USB1"},
                                      {"Card1", "USB1", "USB2"},
                                      {"Card1", "USB2"},
                                      {"Card1"},
                                      {"Card1", "USB1"},
                                      {"Card1", "USB1"},
                                      {"Card1", "USB1"}};
    QCOMPARE(titles, expected);
    const QList<bool> rowShown{false, false, true, false, false, false, false, false, true, false};
    QCOMPARE(notificationRows, rowShown);
    QCOMPARE(nodeAt(host.lastTree(), kListPath + "/usb-sdc1").value("title").toString(),
             QString("USB1"));

    const QString watchDir = watchDirectoryIn(host.errorText());
    QVERIFY(!watchDir.isEmpty());
    QVERIFY(!QFileInfo::exists(watchDir));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
