// SPDX-License-Identifier: MIT
// Odd entry names and label files that are not plain text files: each gets
// a clear outcome, the worker keeps going, and the entry's link comes and
// goes with it.
#include "unprivileged.h"
#include "watcheddir.h"

#include <QtTest>

#include <log4cplus/loglevel.h>

#include <sys/stat.h>
#include <unistd.h>

class TestBadEntries : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void entryNames_data();
    void entryNames();
    void namesNotInUtf8AreLeftOut();
    void labelFiles_data();
    void labelFiles();
    void unreadableLabelForAnOrdinaryUser();
};

namespace {

bool makeRawDir(const QString &dir, const QByteArray &name)
{
    return ::mkdir((QFile::encodeName(dir) + '/' + name).constData(), 0755) == 0;
}

bool writeRaw(const QString &dir, const QByteArray &name, const QByteArray &bytes)
{
    QFile file(QFile::decodeName(QFile::encodeName(dir) + '/' + name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

void TestBadEntries::initTestCase()
{
    // Names and labels are read through the locale's codec.
    if (QTextCodec::codecForLocale()->mibEnum() != 106)
        QSKIP("needs a UTF-8 locale (LANG=C.UTF-8)");
}

void TestBadEntries::entryNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("shownName");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("description");

    const QByteArray longName = "usb-" + QByteArray(251, 'a');
    QTest::newRow("blanks") << QByteArray("usb- with  blanks ") << "usb- with  blanks "
                            << "USB1"
                            << " with  blanks "
                            << "label";
    QTest::newRow("UTF-8") << QByteArray("usb-Caf\xc3\xa9") << QString::fromUtf8("usb-Caf\u00e9")
                           << "USB1" << QString::fromUtf8("Caf\u00e9") << "label";
    QTest::newRow("leading dash") << QByteArray("-sda") << "-sda"
                                  << "Dash1" << QString() << "label";
    QTest::newRow("double dash") << QByteArray("usb--x") << "usb--x"
                                 << "USB1"
                                 << "-x"
                                 << "label";
    QTest::newRow("newline and backslash") << QByteArray("usb-a\nb\\x41") << "usb-a\nb\\x41"
                                           << "USB1"
                                           << "a\nb\\x41"
                                           << "label";
    // 255 bytes: the label's name would be longer than a file name may be.
    QTest::newRow("255 bytes") << longName << QString::fromLatin1(longName) << "USB1"
                               << QString(251, 'a') << QString();
}

void TestBadEntries::entryNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, shownName);
    QFETCH(QString, title);
    QFETCH(QString, id);
    QFETCH(QString, description);

    WatchedDir dir;
    writeRaw(dir.path(), name + ".label", "label\n"); // fails for the longest name
    QVERIFY(makeRawDir(dir.path(), name));
    QVERIFY(dir.start({"usb-:USB", "-:Dash"}, {"usb-:USB"}));

    QCOMPARE(dir.tree().linkPaths(), QStringList{linkPath(shownName)});
    const QVariantHash data = dir.tree().data(linkPath(shownName));
    QCOMPARE(data.value("title").toString(), title);
    QCOMPARE(data.value("id").toString(), id);
    QCOMPARE(data.value("description").toString(), description);
    QCOMPARE(data.value("target").toString(), "/media/" + shownName);
    QCOMPARE(dir.rows(), QStringList{linkPath(shownName)});
    QVERIFY(dir.log().messages(log4cplus::ERROR_LOG_LEVEL).isEmpty());

    QCOMPARE(::rmdir((QFile::encodeName(dir.path()) + '/' + name).constData()), 0);
    QTRY_VERIFY(dir.rows().isEmpty());
    QVERIFY(dir.tree().linkPaths().isEmpty());
}

// A name that the locale's codec cannot decode does not round-trip, so the
// directory listing leaves it out: no link, and its neighbours unharmed.
void TestBadEntries::namesNotInUtf8AreLeftOut()
{
    WatchedDir dir;
    const QByteArray path = QFile::encodeName(dir.path());
    const auto cleanUp = qScopeGuard([&] {
        ::rmdir(path + "/usb-\xff");
        ::rmdir(path + "/usb-\xfe\xfd");
    });
    QVERIFY(makeRawDir(dir.path(), "usb-\xff"));
    QVERIFY(dir.mkdir("usb-ok"));
    QVERIFY(dir.start({"usb-:USB"}, {"usb-:USB"}));
    QCOMPARE(dir.tree().linkPaths(), QStringList{linkPath("usb-ok")});

    QVERIFY(makeRawDir(dir.path(), "usb-\xfe\xfd"));
    QVERIFY(dir.rmdir("usb-ok"));
    QTRY_VERIFY(dir.rows().isEmpty());
    QVERIFY(dir.tree().linkPaths().isEmpty());
}

void TestBadEntries::labelFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("error");

    QTest::newRow("UTF-8 BOM") << "file" << QByteArray("\xef\xbb\xbfLabel\n") << "Label" << false;
    QTest::newRow("UTF-16 BOM") << "file" << QByteArray("\xff\xfeL\0a\0b\0\n\0", 10) << "Lab"
                                << false;
    QTest::newRow("raw NUL bytes") << "file" << QByteArray("ab\0cd\n", 6) << "ab" << false;
    QTest::newRow("only NUL bytes") << "file" << QByteArray(16, '\0') << QString() << false;
    QTest::newRow("invalid UTF-8 bytes")
        << "file" << QByteArray("a\xff\xfe b\n") << QString::fromUtf8("a\ufffd\ufffd b") << false;
    QTest::newRow("lone carriage returns") << "file" << QByteArray("a\rb\rc") << "abc" << false;
    // Only what lies inside the watched directory is read.
    QTest::newRow("link to a label elsewhere")
        << "link" << QByteArray("Elsewhere\n") << QString() << true;
    QTest::newRow("link to /dev/null") << "/dev/null" << QByteArray() << QString() << true;
    QTest::newRow("dangling link") << "dangling" << QByteArray() << QString() << false;
    QTest::newRow("link loop") << "loop" << QByteArray() << QString() << false;
}

void TestBadEntries::labelFiles()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, description);
    QFETCH(bool, error);

    WatchedDir dir;
    QTemporaryDir elsewhere;
    const QString label = dir.filePath("usb-x.label");
    if (kind == "file") {
        QVERIFY(dir.writeFile("usb-x.label", bytes));
    } else if (kind == "link") {
        QFile target(elsewhere.filePath("real.label"));
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write(bytes) == bytes.size());
        target.close();
        QVERIFY(QFile::link(target.fileName(), label));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(elsewhere.filePath("none"), label));
    } else if (kind == "loop") {
        QVERIFY(QFile::link(label, label));
    } else {
        QVERIFY(QFile::link(kind, label));
    }
    QVERIFY(dir.mkdir("usb-x"));
    QVERIFY(dir.mkdir("usb-plain"));
    QVERIFY(dir.start({"usb-:USB"}));

    QCOMPARE(dir.tree().data(linkPath("usb-x")).value("description").toString(), description);
    const QStringList errors = dir.log().messages(log4cplus::ERROR_LOG_LEVEL);
    QCOMPARE(errors, error ? QStringList{"Cannot open label file for:" + label} : QStringList());
    // The neighbour is not disturbed.
    QCOMPARE(dir.titles(), (QStringList{"USB1", "USB2"}));

    QVERIFY(dir.rmdir("usb-x"));
    QTRY_COMPARE(dir.tree().linkPaths(), QStringList{linkPath("usb-plain")});
}

// What root cannot be shown: a label that its reader may not open.
void TestBadEntries::unreadableLabelForAnOrdinaryUser()
{
    WatchedDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
    QVERIFY(dir.writeFile("usb-x.label", "secret\n"));
    QVERIFY(QFile::setPermissions(dir.filePath("usb-x.label"), QFileDevice::Permissions()));
    QVERIFY(dir.mkdir("usb-x"));
    Unprivileged user;
    if (!user.isActive())
        QSKIP("cannot give up root's rights");
    QVERIFY(dir.start({"usb-:USB"}));

    QCOMPARE(dir.titles(), QStringList{"USB1"});
    QCOMPARE(dir.tree().data(linkPath("usb-x")).value("description").toString(), QString());
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL),
             QStringList{"Cannot open label file for:" + dir.filePath("usb-x.label")});
}

QTEST_GUILESS_MAIN(TestBadEntries)
#include "tst_badentries.moc"
