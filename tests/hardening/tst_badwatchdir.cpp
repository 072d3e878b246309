// The watched directory itself misbehaving: replaced by a file, made
// unreadable, or impossible to watch.
#include "unprivileged.h"
#include "watcheddir.h"

#include <QtTest>

#include <log4cplus/loglevel.h>

class TestBadWatchDir : public QObject
{
    Q_OBJECT
private slots:
    void replacedByAFile();
    void recreatedAfterRemoval();
    void madeUnreadable();
    void cannotBeWatched();
};

namespace {

const QFileDevice::Permissions kOpen(0x7755);   // rwxr-xr-x
const QFileDevice::Permissions kNoRead(0x7311); // rwx-wx--x: may be entered, not listed

QString watchLostLine(const WatchedDir &dir)
{
    return "Cannot watch path " + dir.path() + ", retrying every 2000 ms";
}

} // namespace

// The watch ends with the directory: every link goes, the loss is logged,
// and the worker follows the directory again once there is one.
void TestBadWatchDir::replacedByAFile()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-a"));
    QVERIFY(dir.mkdir("usb-b"));
    QVERIFY(dir.start({"usb-:USB"}));
    QCOMPARE(dir.titles().size(), 2);

    QVERIFY(QDir(dir.path()).removeRecursively());
    QFile file(dir.path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(dir.settle());
    QVERIFY(dir.titles().isEmpty());
    QVERIFY(dir.rows().isEmpty());
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL), QStringList{watchLostLine(dir)});

    QVERIFY(QFile::remove(dir.path()));
    QVERIFY(QDir().mkpath(dir.filePath("usb-c")));
    QTRY_COMPARE_WITH_TIMEOUT(dir.titles(), QStringList{"USB1"}, 5000);
    QVERIFY(dir.log()
                .messages(log4cplus::INFO_LOG_LEVEL)
                .contains("Watching path " + dir.path() + " again"));
}

void TestBadWatchDir::recreatedAfterRemoval()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-a"));
    QVERIFY(dir.start({"usb-:USB"}));
    QVERIFY(QDir(dir.path()).removeRecursively());
    QVERIFY(dir.settle());
    QVERIFY(dir.titles().isEmpty());

    QVERIFY(QDir().mkpath(dir.filePath("usb-b")));
    QTRY_COMPARE_WITH_TIMEOUT(dir.titles(), QStringList{"USB1"}, 5000);
    QCOMPARE(dir.rows(), QStringList{linkPath("usb-b")});
    QVERIFY(dir.mkdir("usb-c"));
    QVERIFY(dir.settle());
    QCOMPARE(dir.titles(), (QStringList{"USB1", "USB2"}));
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL), QStringList{watchLostLine(dir)});
}

// Unreadable, the directory lists as empty and every link goes; readable
// again, every link comes back.
void TestBadWatchDir::madeUnreadable()
{
    WatchedDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), kOpen));
    QVERIFY(dir.mkdir("usb-a"));
    QVERIFY(dir.mkdir("usb-b"));
    Unprivileged user;
    if (!user.isActive())
        QSKIP("cannot give up root's rights");
    QVERIFY(dir.start({"usb-:USB"}));
    QCOMPARE(dir.titles().size(), 2);

    {
        Unprivileged::AsRoot root;
        QVERIFY(QFile::setPermissions(dir.path(), kNoRead));
    }
    QVERIFY(dir.settle());
    QVERIFY(dir.titles().isEmpty());
    QVERIFY(dir.rows().isEmpty());

    {
        Unprivileged::AsRoot root;
        QVERIFY(QFile::setPermissions(dir.path(), kOpen));
    }
    QVERIFY(dir.settle());
    QCOMPARE(dir.titles(), (QStringList{"USB1", "USB2"}));
    QCOMPARE(dir.rows().size(), 2);
    QVERIFY(dir.log().messages(log4cplus::ERROR_LOG_LEVEL).isEmpty());
}

// A directory that may not be read cannot be watched (inotify refuses it as
// it does past the system's watch limit): logged, and retried until it can.
void TestBadWatchDir::cannotBeWatched()
{
    WatchedDir dir;
    QVERIFY(dir.mkdir("usb-a"));
    QVERIFY(QFile::setPermissions(dir.path(), kNoRead));
    Unprivileged user;
    if (!user.isActive())
        QSKIP("cannot give up root's rights");
    QVERIFY(dir.start({"usb-:USB"}));
    QVERIFY(dir.titles().isEmpty());
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL), QStringList{watchLostLine(dir)});

    {
        Unprivileged::AsRoot root;
        QVERIFY(QFile::setPermissions(dir.path(), kOpen));
        QVERIFY(dir.mkdir("usb-b"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(dir.titles(), (QStringList{"USB1", "USB2"}), 5000);
    {
        Unprivileged::AsRoot root;
        QVERIFY(dir.mkdir("usb-c"));
    }
    QVERIFY(dir.settle());
    QCOMPARE(dir.titles().size(), 3);
}

QTEST_GUILESS_MAIN(TestBadWatchDir)
#include "tst_badwatchdir.moc"
