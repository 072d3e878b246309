// SPDX-License-Identifier: MIT
// Which devices orva-automount mounts without being told, and which disks it
// leaves alone because the board is using them.
#include "failure.h"
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
};

void TestPolicy::removableMediaOnly_data()
{
    QTest::addColumn<QString>("bus");
    QTest::addColumn<bool>("massStorage");
    QTest::addColumn<QString>("mmcType");
    QTest::addColumn<bool>("emmcAllowed");
    QTest::addColumn<QString>("prefix"); // empty: refused
    QTest::addColumn<QString>("why");
    QTest::newRow("USB stick") << "usb" << true << "" << false << "u-"
                               << "";
    QTest::newRow("USB, no mass storage") << "usb" << false << "" << false << ""
                                          << "no mass storage";
    QTest::newRow("SD card") << "mmc" << false << "SD" << false << "m-"
                             << "";
    QTest::newRow("eMMC") << "mmc" << false << "MMC" << false << ""
                          << "ORVA_AUTOMOUNT_EMMC=1";
    QTest::newRow("eMMC, marked by udev") << "mmc" << false << "MMC" << true << "m-"
                                          << "";
    QTest::newRow("SDIO") << "mmc" << false << "SDIO" << true << ""
                          << "not an SD card";
    QTest::newRow("loop device") << "" << false << "" << true << ""
                                 << "give --prefix";
}

void TestPolicy::removableMediaOnly()
{
    QFETCH(QString, bus);
    QFETCH(bool, massStorage);
    QFETCH(QString, mmcType);
    QFETCH(bool, emmcAllowed);
    QFETCH(QString, prefix);
    QFETCH(QString, why);
    Config config;
    config.prefixUsb = "u-";
    config.prefixMmc = "m-";
    Device device;
    device.node = "/dev/x1";
    device.bus = bus.toStdString();
    device.usbMassStorage = massStorage;
    device.mmcType = mmcType.toStdString();
    device.emmcAllowed = emmcAllowed;
    try {
        QCOMPARE(QString::fromStdString(entryPrefix(device, config)), prefix);
        QVERIFY(!prefix.isEmpty());
    } catch (const Failure &refused) {
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
    QTest::addColumn<QString>("refusal"); // empty: accepted
    const QString elsewhere = "already mounted on /media/x; not mounting it again";
    const QString disk = "is on the disk /dev/sdb, which holds a file system mounted on /boot";
    QTest::newRow("nothing of it mounted") << "/media/x"
                                           << "/dev/sda1" << -1 << "";
    QTest::newRow("itself, by number") << "/media/x"
                                       << "/dev/other" << 18 << elsewhere;
    QTest::newRow("itself, by node (btrfs)") << "/media/x"
                                             << "/dev/sdb2" << 40 << elsewhere;
    QTest::newRow("itself, staged by us") << "/w/.s/usb-sdb2"
                                          << "/dev/sdb2" << 18 << "";
    QTest::newRow("beside the staging place") << "/w/.s2"
                                              << "/dev/sdb2" << 18 << "/w/.s2";
    QTest::newRow("a sibling partition") << "/boot"
                                         << "/dev/sdb1" << 17 << disk;
    QTest::newRow("the whole disk") << "/boot"
                                    << "/dev/sdb" << 16 << disk;
    QTest::newRow("a sibling staged by us") << "/w/.s/usb-sdb1"
                                            << "/dev/sdb1" << 17 << "";
}

void TestPolicy::disksInUseLeftAlone()
{
    QFETCH(QString, target);
    QFETCH(QString, source);
    QFETCH(int, minor);
    QFETCH(QString, refusal);
    Device device;
    device.node = "/dev/sdb2";
    device.devnum = makedev(8, 18);
    device.diskNode = "/dev/sdb";
    device.diskDevices = {makedev(8, 16), makedev(8, 17), makedev(8, 18)};
    const MountTable table({{"/", "/dev/sda1", "ext4", "rw", makedev(8, 1)},
                            {target.toStdString(), source.toStdString(), "vfat", "rw",
                             minor < 0 ? makedev(8, 1) : makedev(minor == 40 ? 0 : 8, minor)}});
    try {
        checkNotMountedElsewhere(device, table, "/w/.s");
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    } catch (const Failure &refused) {
        QVERIFY2(!refusal.isEmpty() && QString(refused.what()).contains(refusal), refused.what());
    }
}

QTEST_APPLESS_MAIN(TestPolicy)
#include "tst_policy.moc"
