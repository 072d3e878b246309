// SPDX-License-Identifier: MIT
// The worker as a host creates it: configuration, nodes, first scan, exports.
#include "watcheddir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <log4cplus/loglevel.h>

class TestWorkerShell : public QObject
{
    Q_OBJECT
private slots:
    void workedExample();
    void unresolvedWatchPath_data();
    void unresolvedWatchPath();
    void malformedItemsAreSkipped_data();
    void malformedItemsAreSkipped();
    void onlyWorkerCreateIsExported();
};

void TestWorkerShell::workedExample()
{
    // x/var/run -> x/run, and x/run/storage a directory with one entry;
    // the watched path is given relative to the working directory.
    WatchedDir dir;
    const QString root = dir.path();
    QVERIFY(QDir(root).mkpath(QStringLiteral("run/storage/usb-sda1")));
    QVERIFY(QDir(root).mkpath(QStringLiteral("var")));
    QVERIFY(QFile::link(root + QStringLiteral("/run"), root + QStringLiteral("/var/run")));

    const QVariantHash config{
        {QStringLiteral("watchPath"), QStringLiteral("var/run/storage")},
        {QStringLiteral("linkPrefix"), QStringLiteral("/media/")},
        {QStringLiteral("watchPrefixes"),
         QVariantList{QStringList{"usb-", "USB"}, QStringList{"mmc-", "Card", "spare"},
                      QStringList{"sata-"}}},
        {QStringLiteral("watchNotifications"),
         QVariantList{QStringList{"usb-", "USB"}, QStringLiteral("mmc-")}}};
    const QString old = QDir::currentPath();
    QDir::setCurrent(root);
    QVERIFY2(dir.plugin().create(config), qPrintable(dir.plugin().errorString()));
    QDir::setCurrent(old);

    QCOMPARE(dir.log().messages(log4cplus::WARN_LOG_LEVEL),
             (QStringList{"Prefixes list item has < 2 fields - ignoring",
                          "Notification list item has < 2 fields - ignoring"}));
    // The first scan ran inside worker_create, before the INFO line.
    QCOMPARE(dir.log().messages(log4cplus::INFO_LOG_LEVEL),
             (QStringList{"New matching entry: usb / sda1 --> /media/usb-sda1, name USB1, label ",
                          "Watching path " + root +
                              "/run/storage for prefixes usb-,mmc- and notifications usb-"}));
    QVERIFY(dir.log().lines().last().startsWith("INFO Watching path "));
    // Hosts filter and lay out records by their origin: the file, line and
    // function that wrote each, as the compiler spells the function.
    for (const LogRecord &record : dir.log().records())
        QVERIFY(record.file.endsWith("/cmstoragelinkworker.cpp") && record.line > 0 &&
                record.function.contains(QRegularExpression("CMStorageLinkWorker::\\w+\\(")));

    const WorkerTree tree = dir.tree();
    QCOMPARE(tree.data("/CMStorageLinkWorker").value("kind"), QVariant("list"));
    QCOMPARE(tree.data("/CMStorageLinkWorker").value("title"), QVariant("Storage Watcher"));
    QCOMPARE(tree.rows("/CMStorageLinkWorker"), QStringList{"/CMStorageLinkWorker/usb-sda1"});
    const QVariantHash notif = tree.data("/CMStorageLinkWorker/notification");
    QCOMPARE(notif.value("kind"), QVariant("ui"));
    QCOMPARE(notif.value("title"), QVariant("Attaching new device..."));
    QCOMPARE(notif.value("icon"), QVariant("skin:iconLoading"));
}

void TestWorkerShell::unresolvedWatchPath_data()
{
    QTest::addColumn<QVariant>("watchPath");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("missing key") << QVariant() << QString();
    QTest::newRow("a number") << QVariant(42) << QStringLiteral("42");
    QTest::newRow("no such directory") << QVariant(QStringLiteral("/nonexistent/./a/../b"))
                                       << QStringLiteral("/nonexistent/./a/../b");
    // No file name holds a NUL; Qt hands such a name back unresolved, and
    // "/" in front of it exists.
    const QString rootNul = QStringLiteral("/") + QChar(0);
    QTest::newRow("NUL after the root") << QVariant(rootNul) << rootNul;
}

void TestWorkerShell::unresolvedWatchPath()
{
    QFETCH(QVariant, watchPath);
    QFETCH(QString, quoted);
    WatchedDir dir;
    QVariantHash config = makeConfig(QString(), {"usb-:USB"}, {"usb-:USB"});
    config.remove(QStringLiteral("watchPath"));
    if (watchPath.isValid())
        config.insert(QStringLiteral("watchPath"), watchPath);
    QVERIFY(dir.plugin().create(config));

    QCOMPARE(dir.log().lines(),
             QStringList{QStringLiteral("ERROR Watch path '%1' does not exist").arg(quoted)});
    // Idle, yet both nodes are published.
    QCOMPARE(dir.tree().data("/CMStorageLinkWorker").value("title"), QVariant("Storage Watcher"));
    QVERIFY(!dir.tree().data("/CMStorageLinkWorker/notification").isEmpty());
}

void TestWorkerShell::malformedItemsAreSkipped_data()
{
    QTest::addColumn<QVariant>("items");
    QTest::addColumn<int>("rejected");
    QTest::addColumn<QString>("accepted");
    QTest::newRow("single field") << QVariant(QVariantList{QStringList{"usb-"}}) << 1 << QString();
    QTest::newRow("number item") << QVariant(QVariantList{42}) << 1 << QString();
    QTest::newRow("variant list pair")
        << QVariant(QVariantList{QVariantList{"a", "A"}}) << 0 << QStringLiteral("a");
    QTest::newRow("mixed") << QVariant(QVariantList{QStringList{"a", "A"}, 7, QStringList{"b"},
                                                    QStringList{"", "E"},
                                                    QStringList{"a", "A2", "x"}})
                           << 2 << QStringLiteral("a,,a");
    QTest::newRow("not a list") << QVariant(QStringLiteral("usb-")) << 0 << QString();
    QTest::newRow("a map") << QVariant(QVariantMap{{"usb-", "USB"}}) << 0 << QString();
    QTest::newRow("null") << QVariant() << 0 << QString();
}

void TestWorkerShell::malformedItemsAreSkipped()
{
    QFETCH(QVariant, items);
    QFETCH(int, rejected);
    QFETCH(QString, accepted);
    WatchedDir dir;
    QVariantHash config = makeConfig(dir.path(), {});

    // Both keys take the same rules, each with its own warning; link warnings come first.
    config.insert(QStringLiteral("watchPrefixes"), items);
    config.insert(QStringLiteral("watchNotifications"), items);
    QVERIFY(dir.plugin().create(config));

    QStringList expected;
    for (int i = 0; i < rejected; ++i)
        expected << QStringLiteral("Prefixes list item has < 2 fields - ignoring");
    for (int i = 0; i < rejected; ++i)
        expected << QStringLiteral("Notification list item has < 2 fields - ignoring");
    QCOMPARE(dir.log().messages(log4cplus::WARN_LOG_LEVEL), expected);
    QCOMPARE(dir.log().messages(log4cplus::INFO_LOG_LEVEL).last(),
             QStringLiteral("Watching path %1 for prefixes %2 and notifications %2")
                 .arg(dir.path(), accepted));
}

void TestWorkerShell::onlyWorkerCreateIsExported()
{
    // readelf reads any ELF, whatever machine the plug-in was built for.
    QProcess readelf;
    readelf.start(QStringLiteral("readelf"), {"--dyn-syms", "-W", PluginWorker::builtPluginPath()});
    QVERIFY(readelf.waitForFinished(30000));
    QCOMPARE(readelf.exitCode(), 0);
    // Every symbol the plug-in defines for others, of any type and name, in
    // any build: a C++ class's typeinfo or an inline function (Qt's too, left
    // uninlined at -O0 or emitted for a sanitizer's checks) leaks as a
    // mangled object or weak symbol, and would bind to another module's copy.
    // Num: Value Size Type Bind Vis Ndx Name; defined = Ndx not UND.
    static const QRegularExpression entry(
        QStringLiteral(R"(^\s*\d+: \S+ +\d+ \S+ +(\S+) +\S+ +(\S+) ([^@\s]+)\S*$)"),
        QRegularExpression::MultilineOption);
    QStringList own;
    auto it = entry.globalMatch(QString::fromLatin1(readelf.readAllStandardOutput()));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.captured(1) != QLatin1String("LOCAL") && m.captured(2) != QLatin1String("UND"))
            own << m.captured(3);
    }
    QCOMPARE(own.join(QLatin1Char(' ')), QStringLiteral("worker_create"));
}

QTEST_GUILESS_MAIN(TestWorkerShell)
#include "tst_workershell.moc"
