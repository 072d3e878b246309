// SPDX-License-Identifier: MIT
// Configuration values of the wrong type at each key, and odd prefix items:
// the worker is always created, says what it drops, and what is valid in
// the same configuration still works.
#include "watcheddir.h"

#include <QtTest>

#include <log4cplus/loglevel.h>

class TestBadConfig : public QObject
{
    Q_OBJECT
private slots:
    void wrongTypeAtKey_data();
    void wrongTypeAtKey();
    void oddPrefixItems_data();
    void oddPrefixItems();
};

namespace {

QVariantHash goodConfig(const QString &path)
{
    return makeConfig(path, {"usb-:USB"}, {"usb-:USB"});
}

// "title -> target" of each live link.
QStringList linksOf(PluginWorker &plugin)
{
    QStringList result;
    for (const QString &path : plugin.tree().linkPaths()) {
        const QVariantHash data = plugin.tree().data(path);
        result.append(data.value("title").toString() + " -> " + data.value("target").toString());
    }
    return result;
}

QStringList warningsAndErrors(const LogCapture &log)
{
    QStringList result;
    for (const QString &line : log.lines())
        if (line.startsWith("WARN ") || line.startsWith("ERROR "))
            result.append(line);
    return result;
}

} // namespace

void TestBadConfig::wrongTypeAtKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QStringList>("complaints");

    const QVariant number(42);
    const QVariant map(QVariantMap{{"usb-", "USB"}});
    const QVariant nested(QVariantList{QVariantList{QVariantList{"usb-", "USB"}}});
    const QVariant null;
    const QStringList linked{"USB1 -> /media/usb-sda1"};

    QTest::newRow("watchPath number") << "watchPath" << number << QStringList()
                                      << QStringList{"ERROR Watch path '42' does not exist"};
    QTest::newRow("watchPath map")
        << "watchPath" << map << QStringList() << QStringList{"ERROR Watch path '' does not exist"};
    QTest::newRow("watchPath nested list") << "watchPath" << nested << QStringList()
                                           << QStringList{"ERROR Watch path '' does not exist"};
    QTest::newRow("watchPath null") << "watchPath" << null << QStringList()
                                    << QStringList{"ERROR Watch path '' does not exist"};

    QTest::newRow("linkPrefix number")
        << "linkPrefix" << number << QStringList{"USB1 -> 42usb-sda1"} << QStringList();
    QTest::newRow("linkPrefix map")
        << "linkPrefix" << map << QStringList{"USB1 -> usb-sda1"} << QStringList();
    QTest::newRow("linkPrefix nested list")
        << "linkPrefix" << nested << QStringList{"USB1 -> usb-sda1"} << QStringList();
    QTest::newRow("linkPrefix null")
        << "linkPrefix" << null << QStringList{"USB1 -> usb-sda1"} << QStringList();

    QTest::newRow("watchPrefixes number")
        << "watchPrefixes" << number << QStringList() << QStringList();
    QTest::newRow("watchPrefixes map") << "watchPrefixes" << map << QStringList() << QStringList();
    QTest::newRow("watchPrefixes nested list")
        << "watchPrefixes" << nested << QStringList()
        << QStringList{"WARN Prefixes list item has < 2 fields - ignoring"};
    QTest::newRow("watchPrefixes null")
        << "watchPrefixes" << null << QStringList() << QStringList();
    QTest::newRow("watchPrefixes bad items beside a good one")
        << "watchPrefixes"
        << QVariant(
               QVariantList{null, number, map, nested.toList().first(), QStringList{"usb-", "USB"}})
        << linked
        << QStringList(
               QVector<QString>(4, "WARN Prefixes list item has < 2 fields - ignoring").toList());

    QTest::newRow("watchNotifications number")
        << "watchNotifications" << number << linked << QStringList();
    QTest::newRow("watchNotifications map")
        << "watchNotifications" << map << linked << QStringList();
    QTest::newRow("watchNotifications nested list")
        << "watchNotifications" << nested << linked
        << QStringList{"WARN Notification list item has < 2 fields - ignoring"};
    QTest::newRow("watchNotifications null")
        << "watchNotifications" << null << linked << QStringList();
}

void TestBadConfig::wrongTypeAtKey()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QStringList, links);
    QFETCH(QStringList, complaints);

    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-sda1"));
    QVariantHash config = goodConfig(dir.path());
    config.insert(key, value);
    QVERIFY(dir.plugin().create(config));

    QCOMPARE(linksOf(dir.plugin()), links);
    QCOMPARE(warningsAndErrors(dir.log()), complaints);
    QCOMPARE(dir.tree().data("/CMStorageLinkWorker").value("title").toString(),
             QStringLiteral("Storage Watcher"));
    // The notification row, if any, waits for its timer; no other row
    // lacks a link.
    QStringList rows = dir.rows();
    rows.removeAll(kNotificationPath);
    QCOMPARE(rows.size(), links.size());
}

void TestBadConfig::oddPrefixItems_data()
{
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<QStringList>("titles");

    QTest::newRow("prefix with a slash never matches")
        << QStringList{"usb/:Slash", "usb-:USB"} << QStringList{"USB1", "USB2"};
    QTest::newRow("prefix that is a slash") << QStringList{"/:Slash"} << QStringList();
    QTest::newRow("prefix naming the whole entry path")
        << QStringList{"/usb-sda1:Path", "usb-:USB"} << QStringList{"USB1", "USB2"};
    QTest::newRow("empty display name") << QStringList{"usb-:"} << QStringList{"1", "2"};
    QTest::newRow("empty prefix and empty name") << QStringList{":"} << QStringList{"1", "2", "3"};
    QTest::newRow("duplicate prefixes count under the first")
        << QStringList{"usb-:First", "usb-:Second", "usb-:Third"}
        << QStringList{"First1", "First2"};
    QTest::newRow("empty prefix after a specific one")
        << QStringList{"usb-:USB", ":Any"} << QStringList{"Any1", "USB1", "USB2"};
}

// Each configuration lives through a full cycle: links appear, all vanish,
// and the numbering starts again at 1.
void TestBadConfig::oddPrefixItems()
{
    QFETCH(QStringList, prefixes);
    QFETCH(QStringList, titles);

    WatchedDir dir;
    for (const char *name : {"usb-sda1", "usb-sdb1", "other"})
        QVERIFY(dir.mkdir(name));
    QVERIFY(dir.start(prefixes, prefixes));

    QStringList seen = dir.titles();
    seen.sort();
    QCOMPARE(seen, titles);
    QCOMPARE(dir.rows().size(), titles.size());

    for (const char *name : {"usb-sda1", "usb-sdb1", "other"})
        QVERIFY(dir.rmdir(name));
    QTRY_VERIFY(dir.rows().isEmpty());
    QVERIFY(dir.titles().isEmpty());

    // Some configurations link nothing: the rescan, not a link, is awaited.
    const int rescans = dir.rescansFinished();
    QVERIFY(dir.mkdir("usb-again"));
    QTRY_VERIFY(dir.rescansFinished() > rescans);
    QCOMPARE(dir.titles().size(), titles.isEmpty() ? 0 : 1);
    if (!titles.isEmpty())
        QVERIFY(dir.titles().first().endsWith('1'));
    QVERIFY(dir.log().messages(log4cplus::ERROR_LOG_LEVEL).isEmpty());
}

QTEST_GUILESS_MAIN(TestBadConfig)
#include "tst_badconfig.moc"
