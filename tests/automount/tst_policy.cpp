// SPDX-License-Identifier: MIT
// Which devices orva-automount mounts without being told, and which disks it
// leaves alone because the board is using them.
#include "failure.h"
#include "mounter.h"
#include "policy.h"

#include <QtTest>

#include <sys/sysmacros.h>

using namespace orva::automount;

class TestPolicy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void removableMediaOnly_data();
    void removableMediaOnly();
    void disksInUseLeftAlone_data();
    void disksInUseLeftAlone();
    void unconfinedMountsRefused();
};

void TestPolicy::removableMediaOnly_data()
{
    QTest::addColumn<QString>("bus");
    QTest::addColumn<bool>("massStorage");
    QTest::addColumn<QString>("mmcType");
    QTest::addColumn<QString>("emmcMark"); // udev's
    QTest::addColumn<QString>("prefix");   // empty: refused
    QTest::addColumn<QString>("why");
    const auto row = [](const char *tag, const char *bus, bool massStorage, const char *mmcType,
                        const char *mark, const char *prefix, const char *why) {
        QTest::newRow(tag) << bus << massStorage << mmcType << mark << prefix << why;
    };
    row("USB stick", "usb", true, "", "", "u-", "");
    row("USB, no mass storage", "usb", false, "", "", "", "no mass storage");
    row("SD card", "mmc", false, "SD", "", "m-", "");
    row("eMMC", "mmc", false, "MMC", "0", "", "ORVA_AUTOMOUNT_EMMC=1");
    row("eMMC, marked by udev", "mmc", false, "MMC", "1", "m-", "");
    row("SDIO", "mmc", false, "SDIO", "1", "", "not an SD card");
    row("loop device", "", false, "", "1", "", "give --prefix");
}

void TestPolicy::removableMediaOnly()
{
    QFETCH(QString, bus);
    QFETCH(bool, massStorage);
    QFETCH(QString, mmcType);
    QFETCH(QString, emmcMark);
    QFETCH(QString, prefix);
    QFETCH(QString, why);
    const Config config = configFrom({{"PREFIX_USB", "u-"}, {"PREFIX_MMC", "m-"}});
    Device device;
    device.node = "/dev/x1";
    device.bus = bus.toStdString();
    device.usbMassStorage = massStorage;
    device.mmcType = mmcType.toStdString();
    device.emmcMark = emmcMark.toStdString();
    try {
        QCOMPARE(QString::fromStdString(entryPrefix(device, config)), prefix);
        QVERIFY(!prefix.isEmpty());
    } catch (const Refusal &refused) {
        QVERIFY2(prefix.isEmpty(), refused.what());
        QVERIFY2(QString(refused.what()).startsWith("/dev/x1 "), refused.what());
        QVERIFY2(QString(refused.what()).contains(why), refused.what());
    }
}

void TestPolicy::disksInUseLeftAlone_data()
{
    // The device is /dev/sdb2 (8:18) on the disk /dev/sdb (8:16, with sdb1
    // 8:17); the staging place is /w/.s.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    const QString elsewhere = "already mounted on /media/x; not mounting it again";
    const QString disk = "is on the disk /dev/sdb, which holds a file system mounted on /boot";
    const auto row = [](const char *tag, const char *target, const char *source, int minor,
                        const QString &refusal, const char *type = "vfat") {
        QTest::newRow(tag) << target << source << minor << QString(type) << refusal;
    };
    row("nothing of it mounted", "/media/x", "/dev/sda1", -1, "");
    row("itself, by number", "/media/x", "/dev/other", 18, elsewhere);
    row("itself, by node (btrfs)", "/media/x", "/dev/sdb2", 40, elsewhere, "btrfs");
    // Any user may name a FUSE mount after any device.
    row("a FUSE mount named after it", "/home/u/x", "/dev/sdb2", 40, "", "fuse.x");
    row("itself, staged by us", "/w/.s/usb-sdb2", "/dev/sdb2", 18, "");
    row("beside the staging place", "/w/.s2", "/dev/sdb2", 18, "/w/.s2");
    row("a sibling partition", "/boot", "/dev/sdb1", 17, disk);
    row("the whole disk", "/boot", "/dev/sdb", 16, disk);
    row("a sibling staged by us", "/w/.s/usb-sdb1", "/dev/sdb1", 17, "");
}

void TestPolicy::disksInUseLeftAlone()
{
    QFETCH(QString, target);
    QFETCH(QString, source);
    QFETCH(int, minor);
    QFETCH(QString, type);
    QFETCH(QString, refusal);
    Device device;
    device.node = "/dev/sdb2";
    device.devnum = makedev(8, 18);
    device.diskNode = "/dev/sdb";
    device.diskDevices = {makedev(8, 16), makedev(8, 17), makedev(8, 18)};
    const MountTable table({{"/", "/dev/sda1", "ext4", "rw", makedev(8, 1)},
                            {target.toStdString(), source.toStdString(), type.toStdString(), "rw",
                             minor < 0 ? makedev(8, 1) : makedev(minor == 40 ? 0 : 8, minor)}});
    try {
        checkNotMountedElsewhere(device, table, "/w/.s");
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    } catch (const Failure &refused) {
        QVERIFY2(!refusal.isEmpty() && QString(refused.what()).contains(refusal), refused.what());
    }
}

// What add checks before it shows a mount, on this machine's mount table:
// nothing is mounted on a link, and the root file system runs programs.
void TestPolicy::unconfinedMountsRefused()
{
    QVERIFY_EXCEPTION_THROWN(checkConfined("/"), Failure);
    try {
        checkConfined("/proc/self");
        QFAIL("accepted");
    } catch (const Failure &refused) {
        QCOMPARE(QString(refused.what()), "nothing is mounted on /proc/self");
    }
}

QTEST_APPLESS_MAIN(TestPolicy)
#include "tst_policy.moc"
