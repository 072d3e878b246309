// SPDX-License-Identifier: MIT
// What orva-automount reads from sysfs, on trees laid out as the kernel lays
// out a USB stick, an SD card (in a slot, and in a reader on USB), an eMMC
// and a loop device: the bus and the kind of device from its parents, the
// disk and every device of it.
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
    // A disk MAJOR:MINOR with partitions 1 and 2 (the next two minors)
    // below PARENT, named as the kernel names them (sda1, mmcblk0p1), and a
    // directory that is no partition. Each disk has numbers of its own, so
    // that the devices of another disk are told from its own.
    void disk(const QString &parent, const QString &name, bool writeProtected, int major, int minor)
    {
        const QString d = parent + "/block/" + name;
        const auto number = [&](int n) {
            return QByteArray::number(major) + ":" + QByteArray::number(minor + n) + "\n";
        };
        file(d + "/dev", number(0));
        file(d + "/ro", writeProtected ? "1\n" : "0\n");
        file(d + "/queue/dev", "9:9\n");
        const QString partitions = name + (name.back().isDigit() ? "p" : "");
        for (int n : {1, 2}) {
            const QString p = d + "/" + partitions + QString::number(n);
            file(p + "/dev", number(n));
            file(p + "/partition", QByteArray::number(n) + "\n");
            file(p + "/ro", writeProtected ? "1\n" : "0\n");
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
    QTest::addColumn<int>("major"); // of the disk, whose partitions follow it
    QTest::addColumn<int>("minor");

    const QString usb = "devices/pci0/usb2/2-1";
    link(usb + "/subsystem", "usb");
    link(usb + "/driver", "usb");
    link(usb + "/2-1:1.0/subsystem", "usb");
    link(usb + "/2-1:1.0/driver", "usb-storage");
    link(usb + "/2-1:1.0/host6/subsystem", "scsi");
    disk(usb + "/2-1:1.0/host6", "sda", false, 8, 0);
    const QString gadget = "devices/pci0/usb3/3-1";
    link(gadget + "/subsystem", "usb");
    link(gadget + "/3-1:1.0/subsystem", "usb");
    link(gadget + "/3-1:1.0/driver", "some-usb-disk");
    disk(gadget + "/3-1:1.0", "sdc", false, 8, 32);
    const QString sd = "devices/pci0/mmc_host/mmc0/mmc0:0001";
    link(sd + "/subsystem", "mmc");
    file(sd + "/type", "SD\n");
    disk(sd, "mmcblk0", true, 179, 0);
    // A card reader on USB that is an SD host (no mass storage): the card
    // hangs from an mmc host below the reader's USB interface.
    const QString reader = "devices/pci0/usb1/1-4";
    link(reader + "/subsystem", "usb");
    link(reader + "/1-4:1.0/subsystem", "usb");
    link(reader + "/1-4:1.0/driver", "rtsx_usb");
    const QString host = reader + "/1-4:1.0/rtsx_usb_sdmmc.4";
    link(host + "/subsystem", "platform");
    link(host + "/mmc_host/mmc2/subsystem", "mmc_host");
    const QString card = host + "/mmc_host/mmc2/mmc2:0001";
    link(card + "/subsystem", "mmc");
    file(card + "/type", "SD\n");
    disk(card, "mmcblk2", false, 179, 16);
    const QString emmc = "devices/platform/mmc_host/mmc1/mmc1:0001";
    link(emmc + "/subsystem", "mmc");
    file(emmc + "/type", "MMC\n");
    disk(emmc, "mmcblk1", false, 179, 8);
    disk("devices/virtual", "loop0", false, 7, 0);

    const auto row = [](const char *tag, const QString &device, const char *name, bool readOnly,
                        const char *bus, bool massStorage, const char *mmcType, const char *disk,
                        int major, int minor) {
        QTest::newRow(tag) << device << name << readOnly << bus << massStorage << mmcType << disk
                           << major << minor;
    };
    row("USB stick, a partition", usb + "/2-1:1.0/host6/block/sda/sda2", "sda2", false, "usb", true,
        "", "/dev/sda", 8, 0);
    row("USB stick, the whole disk", usb + "/2-1:1.0/host6/block/sda", "sda", false, "usb", true,
        "", "/dev/sda", 8, 0);
    row("USB, no mass storage driver", gadget + "/3-1:1.0/block/sdc/sdc1", "sdc1", false, "usb",
        false, "", "/dev/sdc", 8, 32);
    row("SD card, write-protected", sd + "/block/mmcblk0/mmcblk0p1", "mmcblk0p1", true, "mmc",
        false, "SD", "/dev/mmcblk0", 179, 0);
    row("SD card in a reader on USB", card + "/block/mmcblk2/mmcblk2p1", "mmcblk2p1", false, "mmc",
        false, "SD", "/dev/mmcblk2", 179, 16);
    row("eMMC", emmc + "/block/mmcblk1/mmcblk1p1", "mmcblk1p1", false, "mmc", false, "MMC",
        "/dev/mmcblk1", 179, 8);
    row("loop device", "devices/virtual/block/loop0/loop0p1", "loop0p1", false, "", false, "",
        "/dev/loop0", 7, 0);
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
    QFETCH(int, major);
    QFETCH(int, minor);
    const auto number = [&](int n) {
        return makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor + n));
    };
    std::vector<dev_t> expected{number(0), number(1), number(2)};
    std::sort(read.diskDevices.begin(), read.diskDevices.end());
    QCOMPARE(read.diskDevices, expected);
}

QTEST_APPLESS_MAIN(TestDevice)
#include "tst_device.moc"
