// SPDX-License-Identifier: MIT
// The rescan through real directories, real watcher events and the plug-in
// loaded as a host loads it: links, their texts and labels, numbering.
#include "watcheddir.h"

#include <QDir>
#include <QFile>
#include <QTextCodec>
#include <QtTest>

#include <log4cplus/loglevel.h>

class TestRescan : public QObject
{
    Q_OBJECT
private slots:
    void labelWorkedExample();
    void labelText_data();
    void labelText();
    void logEscapes_data();
    void logEscapes();
    void logEscapesEveryNameLine();
    void numberingAndReset();
    void matching_data();
    void matching();
    void entryNamedLikeTheNotificationNode();
    void removalFindsEachRowAsAScanWould();
};

namespace {

// text in UTF-16 of the given byte order, after the byte-order mark bom.
QByteArray utf16(const char *bom, const QString &text, bool bigEndian)
{
    return bom + QTextCodec::codecForName(bigEndian ? "UTF-16BE" : "UTF-16LE")->fromUnicode(text);
}

QString description(const WatchedDir &dir, const QString &name)
{
    return dir.tree().data(linkPath(name)).value("description").toString();
}

} // namespace

void TestRescan::labelWorkedExample()
{
    WatchedDir dir;
    for (const char *name : {"u-1", "usb-sda1", "usbstick"})
        QVERIFY(dir.mkdir(name));
    QVERIFY(dir.writeFile("usb-sda1.label", "Caf\\xc3\\xa9\\x20Drive\n"));
    QVERIFY(dir.start({"u:Disk"}));

    QCOMPARE(
        dir.log().messages(log4cplus::INFO_LOG_LEVEL).mid(0, 3),
        (QStringList{"New matching entry: u / 1 --> /media/u-1, name Disk1, label ",
                     QString::fromUtf8("New matching entry: usb / sda1 --> /media/usb-sda1, name "
                                       "Disk2, label Caf\u00e9 Drive"),
                     "New matching entry: usbstick /  --> /media/usbstick, name Disk3, label "}));

    QCOMPARE(dir.tree().data(linkPath("usb-sda1")),
             (QVariantHash{{"path", linkPath("usb-sda1")},
                           {"kind", "link"},
                           {"title", "Disk2"},
                           {"description", QString::fromUtf8("Caf\u00e9 Drive")},
                           {"id", "sda1"},
                           {"icon", ""},
                           {"playable", true},
                           {"target", "/media/usb-sda1"}}));
    QCOMPARE(dir.tree().data(linkPath("usbstick")).value("id").toString(), QString());
}

void TestRescan::labelText_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("label");
    QTest::newRow("escape inside") << QByteArray("A\\x42C") << QStringLiteral("ABC");
    QTest::newRow("capital X") << QByteArray("\\X41") << QStringLiteral("\\X41");
    QTest::newRow("truncated at end") << QByteArray("\\x4") << QStringLiteral("\\x4");
    QTest::newRow("not alphanumeric")
        << QByteArray("\\x-4 \\x4-1") << QStringLiteral("\\x-4 \\x4-1");
    QTest::newRow("g counts as 0") << QByteArray("a\\xg1b") << QStringLiteral("a\x01") + "b";
    QTest::newRow("ZZ ends the label") << QByteArray("ab\\xZZcd") << QStringLiteral("ab");
    QTest::newRow("NUL escape") << QByteArray("ab\\x00cd") << QStringLiteral("ab");
    QTest::newRow("doubled backslash") << QByteArray("\\\\x41") << QStringLiteral("\\A");
    QTest::newRow("capital digits")
        << QByteArray("Caf\\xC3\\xA9") << QString::fromUtf8("Caf\u00e9");
    QTest::newRow("decoded backslash") << QByteArray("\\x5cx41") << QStringLiteral("\\x41");
    // char is signed on x86-64, unsigned on AArch64: a byte from 0x80 up is
    // no digit either way (in C and UTF-8 locales none is alphanumeric).
    QTest::newRow("high bytes as digits")
        << QByteArray("\\x\xc3\xa9") << QString::fromUtf8("\\x\u00e9");
    QTest::newRow("high byte as second digit")
        << QByteArray("\\x4\xc3\xa9") << QString::fromUtf8("\\x4\u00e9");
    QTest::newRow("raw UTF-8") << QByteArray("Caf\xc3\xa9") << QString::fromUtf8("Caf\u00e9");
    QTest::newRow("invalid UTF-8") << QByteArray("a\\xffb")
                                   << QString::fromUtf8("a\xef\xbf\xbd"
                                                        "b");
    QTest::newRow("two lines") << QByteArray("first\nsecond\n") << QStringLiteral("first");
    QTest::newRow("CRLF") << QByteArray("line\r\nnext\r\n") << QStringLiteral("line");
    QTest::newRow("lone CR in UTF-8") << QByteArray("a\rb\n") << QStringLiteral("ab");
    QTest::newRow("UTF-8 BOM") << QByteArray("\xef\xbb\xbfLabel\n") << QStringLiteral("Label");
    // A text stream decodes first and drops carriage returns as characters:
    // a 0x0D byte inside a UTF-16 character stays part of it.
    const QString cr = QString::fromUtf16(u"A\u010d\u0d1fB");
    QTest::newRow("UTF-16LE, CRLF") << utf16("\xff\xfe", cr + "\r\nsecond\r\n", false) << cr;
    QTest::newRow("UTF-16BE, CRLF") << utf16("\xfe\xff", cr + "\r\nsecond\r\n", true) << cr;
    QTest::newRow("UTF-16LE, lone CR") << utf16("\xff\xfe", "a\rb\nc", false) << "ab";
    QTest::newRow("UTF-16LE, escapes") << utf16("\xff\xfe", "x\\x41\n", false) << "xA";
    QTest::newRow("empty file") << QByteArray() << QString();
    // A label is one short line: a 1 MiB line gives its first 4 KiB.
    QTest::newRow("longer than the bound")
        << QByteArray(1 << 20, 'a') << QString(4096, QLatin1Char('a'));
}

void TestRescan::labelText()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, label);
    WatchedDir dir;
    QVERIFY(dir.start({"usb-:USB"}));
    QVERIFY(dir.writeFile("usb-x.label", file));
    QVERIFY(dir.mkdir("usb-x"));
    QTRY_COMPARE(dir.rows(), QStringList{linkPath("usb-x")});
    QCOMPARE(description(dir, "usb-x"), label);
    QVERIFY(dir.log().messages(log4cplus::ERROR_LOG_LEVEL).isEmpty());
}

// Names and labels reach the log with their controls and bidirectional
// characters as \xNN of the UTF-8 bytes; the node keeps the label as it is.
void TestRescan::logEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("C0 and DEL") << QString::fromUtf8("\x01\t\n\r\x1b[2J\x1f\x7f")
                                << "\\x01\\x09\\x0a\\x0d\\x1b[2J\\x1f\\x7f";
    QTest::newRow("C1") << QString::fromUtf16(u"\u0080\u0085\u009b\u009f")
                        << "\\xc2\\x80\\xc2\\x85\\xc2\\x9b\\xc2\\x9f";
    QTest::newRow("bidirectional controls, separators")
        << QString::fromUtf16(u"\u061c\u200e\u200f\u2028\u2029\u202a\u202e\u2066\u2069")
        << "\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x80\\xa8\\xe2\\x80\\xa9"
           "\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa9";
    // Their neighbours, and a character outside the BMP, are text.
    const QString kept =
        QString::fromUtf16(u"~\u00a0\u061b\u061d\u200d\u2027\u202f\u2065\u206a\U0001F600");
    QTest::newRow("neighbours kept") << kept << kept;
    QTest::newRow("text around escapes")
        << QString::fromUtf16(u"ok\n[FATAL] x\u202eab") << "ok\\x0a[FATAL] x\\xe2\\x80\\xaeab";
}

void TestRescan::logEscapes()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    WatchedDir dir;
    const QString name = "usb-" + text;
    QVERIFY(dir.mkdir(name));
    // Every byte escaped, so that line breaks reach the label.
    QVERIFY(dir.writeFile(name + ".label", "\\x" + text.toUtf8().toHex(' ').replace(" ", "\\x")));
    QVERIFY(dir.start({"usb:USB"}));
    QCOMPARE(dir.log().messages(log4cplus::INFO_LOG_LEVEL).value(0),
             "New matching entry: usb / " + shown + " --> /media/usb-" + shown +
                 ", name USB1, label " + shown);
    QCOMPARE(description(dir, name), text);
}

// Every other line that quotes an entry name escapes it too ("Leave " lists
// the names of notification entries).
void TestRescan::logEscapesEveryNameLine()
{
    const QString raw = QString::fromUtf16(u"\n\u202e\u0085");
    const QString shown = "\\x0a\\xe2\\x80\\xae\\xc2\\x85";
    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-" + raw));
    QVERIFY(dir.mkdir("usb-" + raw + ".label")); // no regular file: cannot be read
    QVERIFY(dir.start({"usb-:USB"}, {"usb-:U"}));
    QVERIFY(dir.rmdir("usb-" + raw));
    QTRY_VERIFY(dir.rows().isEmpty());

    const QRegularExpression rawText(QString::fromUtf16(u"[\n\u202e\u0085]"));
    for (const QString &line : dir.log().lines())
        QVERIFY2(!line.contains(rawText), qPrintable(line));
    for (const QString &start :
         QStringList{"New notification entry: usb-", "Adding node for " + linkPath("usb-"),
                     "Cannot open label file for:" + dir.filePath("usb-"), "Removing usb-",
                     "  -> " + linkPath("usb-")})
        QVERIFY2(!dir.log().linesStartingWith(start + shown).isEmpty(), qPrintable(start));
}

void TestRescan::numberingAndReset()
{
    WatchedDir dir;
    QVERIFY(dir.start({"x:X"}));
    QVERIFY(dir.mkdir("xa"));
    QVERIFY(dir.mkdir("xb"));
    QTRY_COMPARE(dir.titles(), (QStringList{"X1", "X2"}));

    QVERIFY(dir.rmdir("xa"));
    QTRY_COMPARE(dir.titles(), QStringList{"X2"});
    QVERIFY(dir.mkdir("xc"));
    QTRY_COMPARE(dir.titles(), (QStringList{"X2", "X3"}));
    QVERIFY(dir.log().linesStartingWith("Reset prefix ").isEmpty());

    QVERIFY(dir.rmdir("xb"));
    QVERIFY(dir.rmdir("xc"));
    QTRY_VERIFY(dir.rows().isEmpty());
    QCOMPARE(dir.log().linesStartingWith("Reset prefix "),
             QStringList{"DEBUG Reset prefix x counter to 0"});
    QVERIFY(dir.titles().isEmpty());

    // A renamed entry is a new one: it takes the next number, without a reset.
    QVERIFY(dir.mkdir("xd"));
    QTRY_COMPARE(dir.titles(), QStringList{"X1"});
    QVERIFY(QDir(dir.path()).rename("xd", "xz"));
    QTRY_COMPARE(dir.rows(), QStringList{linkPath("xz")});
    QCOMPARE(dir.titles(), QStringList{"X2"});
    QCOMPARE(dir.log().linesStartingWith("Reset prefix ").size(), 1);

    // Emptied a second time, it starts again from nothing: no count is left over.
    QVERIFY(dir.rmdir("xz"));
    QTRY_VERIFY(dir.rows().isEmpty());
    QVERIFY(dir.mkdir("xe"));
    QTRY_COMPARE(dir.titles(), QStringList{"X1"});
}

void TestRescan::matching_data()
{
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QStringList>("links"); // "name=title", in path order
    QTest::newRow("first matching record counts")
        << QStringList{"sd:S", "sda:A"} << QStringList{"sda1", "sdb"}
        << QStringList{"sda1=S1", "sdb=S2"};
    QTest::newRow("empty prefix matches all")
        << QStringList{":All"} << QStringList{"a", "b-c", "d.label"}
        << QStringList{"a=All1", "b-c=All2"};
    QTest::newRow("case sensitive") << QStringList{"usb:U"} << QStringList{"USB0", "usb", "usbx"}
                                    << QStringList{"usb=U1", "usbx=U2"};
    QTest::newRow("label-named directory")
        << QStringList{"usb:U"} << QStringList{"usb0.label", "usb0"} << QStringList{"usb0=U1"};
    QTest::newRow("hidden directory") << QStringList{":H"} << QStringList{".usb"} << QStringList{};
    // By byte value: capitals come first.
    QTest::newRow("sorted by name") << QStringList{":N"} << QStringList{"b2", "b1", "B3"}
                                    << QStringList{"B3=N1", "b1=N2", "b2=N3"};
    QTest::newRow("duplicate records")
        << QStringList{"d:D", "d:E"} << QStringList{"d1"} << QStringList{"d1=D1"};
}

void TestRescan::matching()
{
    QFETCH(QStringList, prefixes);
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, links);
    WatchedDir dir;
    for (const QString &name : dirs)
        QVERIFY(dir.mkdir(name));
    // Neither a regular file nor a broken link is an entry; a link to a directory is.
    QVERIFY(dir.writeFile("usb-file", "x"));
    QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("usb-broken")));
    QVERIFY(dir.start(prefixes));

    QStringList seen;
    for (const QString &path : dir.tree().linkPaths())
        seen << path.section('/', -1) + '=' + dir.tree().data(path).value("title").toString();
    QCOMPARE(seen, links);
    QCOMPARE(dir.rows().size(), links.size());
}

void TestRescan::entryNamedLikeTheNotificationNode()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("notification"));
    // The link's path is built from the entry's name alone, and is the
    // notification node's. The host warns and shows the newer node there.
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable("CMNodes: a node is created at " + kNotificationPath +
                                    ", which holds a node already; the new one shadows it"));
    QVERIFY(dir.start({":N"}, {"usb:U"}));
    QCOMPARE(dir.rows(), QStringList{kNotificationPath});
    QCOMPARE(dir.tree().data(kNotificationPath).value("title").toString(), QStringLiteral("N1"));

    // Withdrawing the notification (at once: usb-1 is a link too) removes
    // the rows of its path, and so the link's row. The link stays.
    QVERIFY(dir.mkdir("usb-1"));
    QTRY_COMPARE(dir.rows(), QStringList{linkPath("usb-1")});
    QCOMPARE(dir.titles(), (QStringList{"N1", "N2"}));

    // A link to a directory is an entry too.
    QVERIFY(QFile::link(dir.filePath("usb-1"), dir.filePath("usb-2")));
    QTRY_COMPARE(dir.rows(), (QStringList{linkPath("usb-1"), linkPath("usb-2")}));

    // Its link goes with the entry; its row went already, and no other goes instead.
    QVERIFY(dir.rmdir("notification"));
    QTRY_COMPARE(dir.titles(), (QStringList{"N2", "N3"}));
    QCOMPARE(dir.rows(), (QStringList{linkPath("usb-1"), linkPath("usb-2")}));
}

// Many links go in one rescan while the notification row is shown: each
// TRACE index is where a scan of the rows, as they stand at that moment,
// finds the link's row, in the order the removals are logged.
void TestRescan::removalFindsEachRowAsAScanWould()
{
    WatchedDir dir;
    QStringList names;
    for (int i = 0; i < 40; ++i)
        names.append(QStringLiteral("usb-%1").arg(i, 2, 10, QLatin1Char('0')));
    for (const QString &name : qAsConst(names))
        QVERIFY(dir.mkdir(name));
    QVERIFY(dir.start({"usb-:USB"}, {"sd:Disk"}));
    const int before = dir.log().records().size();

    // No event loop runs between these, so one rescan sees them all.
    QVERIFY(dir.mkdir("sda"));
    QStringList kept; // titles of the links that stay, numbers of two digits among them
    for (int i = 0; i < names.size(); ++i) {
        if (i % 3 == 1)
            kept.append(QStringLiteral("USB%1").arg(i + 1));
        else
            QVERIFY(dir.rmdir(names.at(i)));
    }
    QTRY_COMPARE(dir.titles(), kept);

    QStringList reference;
    for (const QString &name : qAsConst(names))
        reference.append(linkPath(name));
    reference.append(kNotificationPath);
    int removals = 0;
    const QList<LogRecord> records = dir.log().records().mid(before);
    for (int i = 0; i < records.size(); ++i) {
        const QString &message = records.at(i).message;
        if (!message.startsWith(QLatin1String("Removing ")))
            continue;
        const QString name = message.section(QLatin1Char(' '), 1, 1);
        const int row = reference.indexOf(linkPath(name));
        QVERIFY2(row >= 0, qPrintable(name));
        QCOMPARE(message, "Removing " + name + " from storagelink list");
        QCOMPARE(records.value(i + 1).message, "  -> " + linkPath(name));
        QCOMPARE(records.value(i + 2).level, int(log4cplus::TRACE_LOG_LEVEL));
        QCOMPARE(records.value(i + 2).message, "  -> removing from row " + QString::number(row));
        reference.removeAt(row);
        ++removals;
    }
    QCOMPARE(removals, names.size() - kept.size());
    QCOMPARE(dir.rows(), reference);
    QVERIFY(dir.log().linesStartingWith("Reset prefix ").isEmpty());
}

QTEST_GUILESS_MAIN(TestRescan)
#include "tst_rescan.moc"
