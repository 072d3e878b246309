// SPDX-License-Identifier: MIT
// Configuration values of the wrong type at each key, and odd prefix items:
// the worker is always created, says what it drops, what is valid in the
// same configuration still works, and the numbering starts again at 1 once
// every link went.
#include "watcheddir.h"

#include <QtTest>

class TestBadConfig : public QObject
{
    Q_OBJECT
private slots:
    void oddValues_data();
    void oddValues();
};

namespace {

// "title -> target" of each live link, by path.
QStringList linksOf(const WatchedDir &dir)
{
    QStringList result;
    for (const QString &path : dir.tree().linkPaths()) {
        const QVariantHash data = dir.tree().data(path);
        result.append(data.value("title").toString() + " -> " + data.value("target").toString());
    }
    return result;
}

QStringList linkRows(const WatchedDir &dir)
{
    QStringList rows = dir.rows();
    rows.removeAll(kNotificationPath);
    return rows;
}

} // namespace

void TestBadConfig::oddValues_data()
{
    // The configuration links usb- entries, with one value replaced; the
    // watched directory holds usb-sda1, usb-sdb1 and other.
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QStringList>("complaints");

    const QStringList both{"USB1 -> /media/usb-sda1", "USB2 -> /media/usb-sdb1"};
    QTest::newRow("watchPath a number") << "watchPath" << QVariant(42) << QStringList()
                                        << QStringList{"ERROR Watch path '42' does not exist"};
    QTest::newRow("linkPrefix a number")
        << "linkPrefix" << QVariant(42) << QStringList{"USB1 -> 42usb-sda1", "USB2 -> 42usb-sdb1"}
        << QStringList();
    QTest::newRow("watchPrefixes a map")
        << "watchPrefixes" << QVariant(QVariantMap{{"usb-", "USB"}}) << QStringList()
        << QStringList();
    QTest::newRow("watchNotifications null")
        << "watchNotifications" << QVariant() << both << QStringList();
    // Names hold no "/": a prefix naming the entry's path never matches.
    QTest::newRow("prefix naming the entry's path")
        << "watchPrefixes" << QVariant(prefixItems(QStringList{"/usb-sda1:Path", "usb-:USB"}))
        << both << QStringList();
    // The first matching record counts a link, also when it goes.
    QTest::newRow("empty prefix after a longer one")
        << "watchPrefixes" << QVariant(prefixItems(QStringList{"usb-:USB", ":Any"}))
        << QStringList{"Any1 -> /media/other", "USB1 -> /media/usb-sda1", "USB2 -> /media/usb-sdb1"}
        << QStringList();
}

void TestBadConfig::oddValues()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QStringList, links);
    QFETCH(QStringList, complaints);

    WatchedDir dir;
    for (const char *name : {"usb-sda1", "usb-sdb1", "other"})
        QVERIFY(dir.mkdir(name));
    QVariantHash config = makeConfig(dir.path(), {"usb-:USB"}, {"usb-:USB"});
    config.insert(key, value);
    QVERIFY(dir.plugin().create(config));

    QCOMPARE(linksOf(dir), links);
    QCOMPARE(linkRows(dir).size(), links.size());
    QStringList said;
    for (const QString &line : dir.log().lines())
        if (line.startsWith("WARN ") || line.startsWith("ERROR "))
            said.append(line);
    QCOMPARE(said, complaints);
    if (links.isEmpty())
        return;

    for (const char *name : {"usb-sda1", "usb-sdb1", "other"})
        QVERIFY(dir.rmdir(name));
    QTRY_VERIFY(linkRows(dir).isEmpty());
    QVERIFY(dir.titles().isEmpty());
    QVERIFY(dir.mkdir("usb-again"));
    QTRY_COMPARE(linkRows(dir).size(), 1);
    QVERIFY(dir.titles().first().endsWith('1'));
}

QTEST_GUILESS_MAIN(TestBadConfig)
#include "tst_badconfig.moc"
