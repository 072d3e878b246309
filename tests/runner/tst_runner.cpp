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
    explicit HostRun(const QStringList &arguments)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { readEvents(); });
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
    // Lines on stdout that are not JSON objects: there should be none.
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

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT
private slots:
    void readyAndFirstTree_data();
    void readyAndFirstTree();
    void linkFollowsDirectory();
    void logLevels_data();
    void logLevels();
    void badUsageOrConfig_data();
    void badUsageOrConfig();
    void unloadablePlugin_data();
    void unloadablePlugin();
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
    for (const QJsonObject &event : host.events())
        if (event.value("event").toString() == QLatin1String("tree"))
            titles.append(linkTitles(event.value("nodes").toArray()));
    // Devices come (one labelled, one card), two go, and the numbering resets.
    const QList<QStringList> expected{{},
                                      {"USB1"},
                                      {"Card1", "USB1"},
                                      {"Card1", "USB1", "USB2"},
                                      {"Card1", "USB2"},
                                      {"Card1"},
                                      {"Card1", "USB1"}};
    QCOMPARE(titles, expected);
    QCOMPARE(nodeAt(host.lastTree(), kListPath + "/usb-sdc1").value("title").toString(),
             QString("USB1"));

    const QRegularExpressionMatch match =
        QRegularExpression("watch directory (\\S+)").match(host.errorText());
    QVERIFY(match.hasMatch());
    QVERIFY(!QFileInfo::exists(match.captured(1)));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
