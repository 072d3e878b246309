// SPDX-License-Identifier: MIT
// The "Attaching new device..." row: when it shows and what withdraws it.
#include "watcheddir.h"

#include <QtTest>

class TestNotification : public QObject
{
    Q_OBJECT
private slots:
    void shownAndWithdrawnInOneRescan();
    void staysWhileAnEntryRemains();
    void timerWithdrawsOnceAndIsNotRestarted();
};

namespace {

const QString kLeave = QStringLiteral("DEBUG Leave CMStorageLinkWorker::dirChanged: ");

bool shown(const WatchedDir &dir)
{
    return dir.rows().contains(kNotificationPath);
}

int withdrawals(WatchedDir &dir)
{
    return dir.log().linesStartingWith("removeNotificationNode").size();
}

} // namespace

void TestNotification::shownAndWithdrawnInOneRescan()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("sda"));
    QVERIFY(dir.mkdir("usb-sda1"));
    QVERIFY(dir.start({"usb:USB"}, {"sd:Disk", "s:Again"}));
    QStringList lines = dir.log().lines();
    lines.removeLast(); // "Watching path"
    QCOMPARE(lines,
             (QStringList{
                 "DEBUG dirChanged: " + dir.path(), "DEBUG New notification entry: sda",
                 "INFO New matching entry: usb / sda1 --> /media/usb-sda1, name USB1, label ",
                 "DEBUG Adding node for " + linkPath("usb-sda1"), "DEBUG removeNotificationNode",
                 kLeave + "m_notifList: (sda) deleteNotifList: ()"}));
    QCOMPARE(dir.rows(), QStringList{linkPath("usb-sda1")});

    // sda stays listed: later rescans do not raise it again (raised, the
    // next link would withdraw it once more).
    QVERIFY(dir.mkdir("usb-sdb1"));
    QTRY_COMPARE(dir.rows(), (QStringList{linkPath("usb-sda1"), linkPath("usb-sdb1")}));
    QCOMPARE(dir.log().linesStartingWith("New notification entry: ").size(), 1);
    QCOMPARE(withdrawals(dir), 1);
}

// Shown while any of its entries remains (names match case by case),
// withdrawn with the last one, and raised again when one comes back.
void TestNotification::staysWhileAnEntryRemains()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-1"));
    QVERIFY(dir.mkdir("SDA"));
    QVERIFY(dir.start({"usb:USB"}, {"sd:Disk"}));
    QCOMPARE(dir.rows(), QStringList{linkPath("usb-1")});
    QVERIFY(dir.mkdir("sda"));
    QTRY_COMPARE(dir.rows(), (QStringList{linkPath("usb-1"), kNotificationPath}));
    // Neither change touches the tree: what the rescan logged last says it came.
    QVERIFY(dir.mkdir("sdb"));
    QTRY_COMPARE(dir.log().lines().last(), kLeave + "m_notifList: (sda, sdb) deleteNotifList: ()");
    QVERIFY(dir.rmdir("sdb"));
    QTRY_COMPARE(dir.log().lines().last(), kLeave + "m_notifList: (sda) deleteNotifList: (sdb)");
    QCOMPARE(dir.rows(), (QStringList{linkPath("usb-1"), kNotificationPath}));
    QCOMPARE(withdrawals(dir), 0);

    QVERIFY(dir.rmdir("sda"));
    QTRY_COMPARE(dir.rows(), QStringList{linkPath("usb-1")});
    QCOMPARE(dir.log().lines().last(), kLeave + "m_notifList: () deleteNotifList: (sda)");
    QVERIFY(dir.mkdir("sda"));
    QTRY_VERIFY(shown(dir));
    QCOMPARE(dir.log().linesStartingWith("New notification entry: ").size(), 3);
    // Destroyed while shown, it goes without a word.
    const int before = dir.log().records().size();
    dir.plugin().destroy();
    QCOMPARE(dir.log().records().size(), before);
}

// The one test that waits for the real 10 s timer. Alongside, a worker
// whose notification a link withdrew at once must not see the timer fire,
// and one shown 2 s later (more than a coarse timer's slack) must see its
// row go later than the first worker's.
void TestNotification::timerWithdrawsOnceAndIsNotRestarted()
{
    WatchedDir quick;
    QVERIFY(quick.mkdir("sda"));
    QVERIFY(quick.mkdir("usb-sda1"));
    QVERIFY(quick.start({"usb:USB"}, {"sd:Disk"}));
    QCOMPARE(withdrawals(quick), 1);

    WatchedDir dir;
    WatchedDir later;
    QVERIFY(dir.start({"usb:USB"}, {"sd:Disk"}));
    QVERIFY(later.start({"usb:USB"}, {"sd:Disk"}));
    QVERIFY(dir.mkdir("sda"));
    QTRY_VERIFY(shown(dir));
    QTest::qWait(2000);
    QVERIFY(later.mkdir("sda"));
    QTRY_VERIFY(shown(later));
    QTest::qWait(3000);
    // A second name while shown neither adds a row nor restarts the timer.
    QVERIFY(dir.mkdir("sdb"));
    QTRY_COMPARE(dir.log().lines().last(), kLeave + "m_notifList: (sda, sdb) deleteNotifList: ()");
    QCOMPARE(dir.rows(), QStringList{kNotificationPath});

    // A host learns of the timer's withdrawal through its rows subscription.
    QStringList seen; // whether the first worker still showed its row then
    const auto record = [&](const CMPath &) { seen << (shown(dir) ? "shown" : "gone"); };
    later.plugin().worker()->connectRowsChange(CMPath::fromEncoded(kListPath), record);
    QTRY_COMPARE_WITH_TIMEOUT(seen, QStringList{"gone"}, 20000);
    // Every worker logs to the one logger: neither the quick worker's timer
    // nor the first worker's a second time.
    QCOMPARE(withdrawals(dir), 2);

    // Nor does a later rescan raise it again.
    QVERIFY(dir.mkdir("usb-1"));
    QTRY_COMPARE(dir.rows(), QStringList{linkPath("usb-1")});
    QCOMPARE(withdrawals(dir), 2);
}

QTEST_GUILESS_MAIN(TestNotification)
#include "tst_notification.moc"
