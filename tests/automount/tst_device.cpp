// SPDX-License-Identifier: MIT
// What orva-automount reads from sysfs, on trees laid out as the kernel lays
// out a USB stick, an SD card, an eMMC and a loop device: the bus and the
// kind of device from its parents, the disk and every device of it.
#include "device.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/sysmacros.h>

#include <algorithm>

using namespace orva::automount;

class TestDevice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsSysfs_data();
    void readsSysfs();

private:
    QTemporaryDir m_sys;
    void file(const QString &path, const QByteArray &text)
    {
        QVERIFY(QDir().mkpath(QFileInfo(m_sys.filePath(path)).path()));
        QFile out(m_sys.filePath(path));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(text);
    }
    // A sysfs link such as DIR/subsystem -> ../../bus/NAME.
    void link(const QString &path, const QString &name)
    {
        QVERIFY(QDir().mkpath(QFileInfo(m_sys.filePath(path)).path()));
        QVERIFY(QFile::link("../../../bus/" + name, m_sys.filePath(path)));
    }
    // A disk (8:0) with partitions 1 and 2 below PARENT, and a directory
    // that is no partition.
    void disk(const QString &parent, const QString &name, bool writeProtected)
    {
        const QString d = parent + "/block/" + name;
        file(d + "/dev", "8:0\n");
        file(d + "/ro", writeProtected ? "1\n" : "0\n");
        file(d + "/queue/dev", "9:9\n");
        for (const char *n : {"1", "2"}) {
            file(d + "/" + name + n + "/dev", QByteArray("8:") + n + "\n");
            file(d + "/" + name + n + "/partition", QByteArray(n) + "\n");
            file(d + "/" + name + n + "/ro", writeProtected ? "1\n" : "0\n");
        }
    }
};

void TestDevice::readsSysfs_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("bus");
    QTest::addColumn<bool>("massStorage");
    QTest::addColumn<QString>("mmcType");
    QTest::addColumn<QString>("diskNode");

    const QString usb = "devices/pci0/usb2/2-1";
    link(usb + "/subsystem", "usb");
    link(usb + "/driver", "usb");
    link(usb + "/2-1:1.0/subsystem", "usb");
    link(usb + "/2-1:1.0/driver", "usb-storage");
    link(usb + "/2-1:1.0/host6/subsystem", "scsi");
    disk(usb + "/2-1:1.0/host6", "sda", false);
    const QString gadget = "devices/pci0/usb3/3-1";
    link(gadget + "/subsystem", "usb");
    link(gadget + "/3-1:1.0/subsystem", "usb");
    link(gadget + "/3-1:1.0/driver", "some-usb-disk");
    disk(gadget + "/3-1:1.0", "sdc", false);
    const QString sd = "devices/pci0/mmc_host/mmc0/mmc0:0001";
    link(sd + "/subsystem", "mmc");
    file(sd + "/type", "SD\n");
    disk(sd, "mmcblk0", true);
    const QString emmc = "devices/platform/mmc_host/mmc1/mmc1:0001";
    link(emmc + "/subsystem", "mmc");
    file(emmc + "/type", "MMC\n");
    disk(emmc, "mmcblk1", false);
    disk("devices/virtual", "loop0", false);

    const auto row = [](const char *tag, const QString &device, const char *name, bool readOnly,
                        const char *bus, bool massStorage, const char *mmcType, const char *disk) {
        QTest::newRow(tag) << device << name << readOnly << bus << massStorage << mmcType << disk;
    };
    row("USB stick, a partition", usb + "/2-1:1.0/host6/block/sda/sda2", "sda2", false, "usb", true,
        "", "/dev/sda");
    row("USB stick, the whole disk", usb + "/2-1:1.0/host6/block/sda", "sda", false, "usb", true,
        "", "/dev/sda");
    row("USB, no mass storage driver", gadget + "/3-1:1.0/block/sdc/sdc1", "sdc1", false, "usb",
        false, "", "/dev/sdc");
    row("SD card, write-protected", sd + "/block/mmcblk0/mmcblk01", "mmcblk01", true, "mmc", false,
        "SD", "/dev/mmcblk0");
    row("eMMC", emmc + "/block/mmcblk1/mmcblk11", "mmcblk11", false, "mmc", false, "MMC",
        "/dev/mmcblk1");
    row("loop device", "devices/virtual/block/loop0/loop01", "loop01", false, "", false, "",
        "/dev/loop0");
}

void TestDevice::readsSysfs()
{
    QFETCH(QString, device);
    Device read;
    readSysfs(m_sys.filePath(device).toStdString(), read);
    QTEST(QString::fromStdString(read.kernelName), "name");
    QTEST(read.readOnly, "readOnly");
    QTEST(QString::fromStdString(read.bus), "bus");
    QTEST(read.usbMassStorage, "massStorage");
    QTEST(QString::fromStdString(read.mmcType), "mmcType");
    QTEST(QString::fromStdString(read.diskNode), "diskNode");
    // The disk and its two partitions, and not the directory that is none.
    std::vector<dev_t> expected{makedev(8, 0), makedev(8, 1), makedev(8, 2)};
    std::sort(read.diskDevices.begin(), read.diskDevices.end());
    QCOMPARE(read.diskDevices, expected);
}

QTEST_APPLESS_MAIN(TestDevice)
#include "tst_device.moc"
