// SPDX-License-Identifier: MIT
// /etc/default/orva-automount read as systemd reads an EnvironmentFile=,
// the configuration made of it and of the file as shipped, and the names
// that prefixes and entries may have.
#include "config.h"
#include "failure.h"
#include "names.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace orva::automount;

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void shippedFileSetsTheDefaults();
    void values();
    void keys();
    void reading();
    void names_data();
    void names();
};

namespace {

// "KEY=value" each, in the keys' order, so that a failure shows what differs.
QStringList assignments(const std::map<std::string, std::string> &values)
{
    QStringList list;
    for (const auto &[key, value] : values)
        list << QString::fromStdString(key + "=" + value);
    return list;
}

QStringList fields(const Config &c)
{
    std::string types;
    for (const std::string &type : c.allowedTypes)
        types += (types.empty() ? "" : " ") + type;
    const char *keys[] = {"WATCH_DIR",     "PREFIX_USB",    "PREFIX_MMC",    "NOTIFY_PREFIX",
                          "ALLOWED_TYPES", "MOUNT_OPTIONS", "HOST_USER",     "FILE_MASK",
                          "DIR_MASK",      "VFAT_OPTIONS",  "EXFAT_OPTIONS", "NTFS_OPTIONS",
                          "EXT_OPTIONS",   "BTRFS_OPTIONS", "XFS_OPTIONS",   "FAT_CODEPAGE"};
    const std::string values[] = {c.watchDir,   c.prefixUsb,    c.prefixMmc,    c.notifyPrefix,
                                  types,        c.mountOptions, c.hostUser,     c.fileMask,
                                  c.dirMask,    c.vfatOptions,  c.exfatOptions, c.ntfsOptions,
                                  c.extOptions, c.btrfsOptions, c.xfsOptions,   c.fatCodepage};
    std::map<std::string, std::string> named;
    for (std::size_t i = 0; i < std::size(keys); ++i)
        named[keys[i]] = values[i];
    return assignments(named);
}

template <typename Call> bool fails(Call call)
{
    try {
        call();
    } catch (const Failure &) {
        return true;
    }
    return false;
}

} // namespace

void TestConfig::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("assigned");
    const auto row = [](const char *tag, const QByteArray &text, const QStringList &assigned) {
        QTest::newRow(tag) << text << assigned;
    };
    row("comments, blank lines", "# A=1\n; B=2\n\t# C=3\n\n  \nD=4\n", {"D=4"});
    // Since systemd 254 a comment's trailing backslash continues nothing.
    row("comment ending in \\", "# x \\\nA=1\n", {"A=1"});
    row("lines without =", "NOTHING\nA=1\nB\n", {"A=1"});
    row("invalid names", "1A=x\nA-B=x\nA B=x\n=x\nä=x\n_a1=ok\n", {"_a1=ok"});
    row("blanks trimmed", "  KEY \t=  two  words \t\nE=\nF=   \n", {"E=", "F=", "KEY=two  words"});
    row("# and ; inside a value", "A=b # c ; d\n", {"A=b # c ; d"});
    row("later wins", "A=1\nA=2\n", {"A=2"});
    row("single quotes", "A=' \\\" \\\\ $HOME '\nB='one\ntwo'\nC=3\n",
        {"A= \\\" \\\\ $HOME ", "B=one\ntwo", "C=3"});
    row("double quotes", "A=\"\\\" \\\\ \\$ \\` \\n \\a '\"\nB=\"one\ntwo \\\nthree\"\n",
        {"A=\" \\ $ ` \\n \\a '", "B=one\ntwo three"});
    row("a blank before an escape", "A=a \\$b\n", {"A=a $b"});
    row("unquoted escapes", "A=a\\ b\\\\c\\\"d\\ \nB=one \\\n  two\nC=3",
        {"A=a b\\c\"d ", "B=one   two", "C=3"});
    // A quote opens only where the value begins or another quote has just
    // closed; anywhere else it is a character of the value.
    row("quotes joined", "A=\"a b\" 'c'd\n", {"A=a bcd"});
    row("quote inside a value", "A=it's\nB=x\"y z\"\nC=3\nD=\\a'b'",
        {"A=it's", "B=x\"y z\"", "C=3", "D=a'b'"});
    row("unterminated quote", "A=\"abc\nB=1", {"A=abc\nB=1"});
    row("CRLF", "A=b\r\nB='c'\r\n", {"A=b", "B=c"});
    row("nothing expanded", "A=$HOME\nB=${HOME:-x}\nC=$(id)\nD=`id`\nE=\"$HOME\"\n",
        {"A=$HOME", "B=${HOME:-x}", "C=$(id)", "D=`id`", "E=$HOME"});
}

void TestConfig::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, assigned);
    QCOMPARE(assignments(parseEnvironmentFile(text.toStdString())), assigned);
}

void TestConfig::shippedFileSetsTheDefaults()
{
    QFile file(ORVA_AUTOMOUNT_DEFAULT);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QCOMPARE(assignments(parseEnvironmentFile(text.toStdString())), QStringList());
    // Each key is there, commented out, with its default: with the comment
    // signs taken away it still gives every default and nothing else.
    const QString uncommented = QString(text).remove(
        QRegularExpression("^#(?=[A-Z_]+=)", QRegularExpression::MultilineOption));
    QCOMPARE(assignments(parseEnvironmentFile(uncommented.toStdString())), fields(Config{}));
}

void TestConfig::values()
{
    const Config config =
        configFrom({{"NOTIFY_PREFIX", ""}, {"ALLOWED_TYPES", " vfat\t ext4\n btrfs "}});
    // Empty means no notification entry, not the default one.
    QVERIFY(config.notifyPrefix.empty());
    QCOMPARE(config.allowedTypes, (std::vector<std::string>{"vfat", "ext4", "btrfs"}));
    QVERIFY(config.allows("btrfs") && !config.allows("ntfs") && !config.allows("vfat ext4"));
    QVERIFY(!configFrom({{"ALLOWED_TYPES", ""}}).allows("vfat"));
}

void TestConfig::keys()
{
    // Each key set to its own name: a key read into the wrong field, or a
    // type given another type's options, shows.
    std::map<std::string, std::string> own;
    for (const QString &field : fields(Config{}))
        own[field.section('=', 0, 0).toStdString()] = field.section('=', 0, 0).toStdString();
    const Config config = configFrom(own);
    QCOMPARE(fields(config), assignments(own));
    for (const QString &expected :
         QStringList{"vfat=VFAT_OPTIONS", "exfat=EXFAT_OPTIONS", "ntfs=NTFS_OPTIONS",
                     "ext2=EXT_OPTIONS", "ext3=EXT_OPTIONS", "ext4=EXT_OPTIONS",
                     "btrfs=BTRFS_OPTIONS", "xfs=XFS_OPTIONS", "iso9660=", "VFAT=", "="}) {
        const std::string type = expected.section('=', 0, 0).toStdString();
        QCOMPARE(QString::fromStdString(type + "=" + config.typeOptions(type)), expected);
    }
}

void TestConfig::reading()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("orva-automount").toStdString();
    QCOMPARE(fields(readConfig(path)), fields(Config{}));
    QVERIFY(fails([&] { readConfig(dir.path().toStdString()); }));
    // The file was once sourced by a shell; now nothing in it may run.
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray pwned = dir.filePath("pwned").toUtf8();
    file.write("WATCH_DIR=x$(touch " + pwned + ")\nHOST_USER=\"`touch " + pwned + "`\"\n");
    file.close();
    const Config config = readConfig(path);
    QCOMPARE(QByteArray::fromStdString(config.watchDir), "x$(touch " + pwned + ")");
    QCOMPARE(QByteArray::fromStdString(config.hostUser), "`touch " + pwned + "`");
    QVERIFY(!QFile::exists(pwned));
}

void TestConfig::names_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("safe");
    QTest::addColumn<bool>("entry"); // safe, and no label file's name
    QTest::newRow("usb-sda1") << QByteArray("usb-sda1") << true << true;
    QTest::newRow("every sign") << QByteArray("a.b_c:d+e@f-9") << true << true;
    QTest::newRow(".label inside") << QByteArray("sda1.label.x") << true << true;
    QTest::newRow("label file") << QByteArray("usb-sda1.label") << true << false;
    for (const char *name :
         {"", ".", "..", ".hidden", "a/b", "../x", "a b", "a\n", "a*", "a$", "a\\b", "caf\xc3\xa9"})
        QTest::newRow(name) << QByteArray(name) << false << false;
}

void TestConfig::names()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, safe);
    QFETCH(bool, entry);
    QCOMPARE(isSafeName(name.toStdString()), safe);
    QCOMPARE(fails([&] { checkPrefix(name.toStdString()); }), !safe);
    QCOMPARE(fails([&] { checkEntry(name.toStdString()); }), !entry);
}

QTEST_APPLESS_MAIN(TestConfig)
#include "tst_config.moc"
