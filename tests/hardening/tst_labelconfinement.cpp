// SPDX-License-Identifier: MIT
// Label files as someone who may write the watched directory would lay them
// out for a host running as root: only a regular file inside that directory
// is read; links leading out, through /proc, or to anything but a regular
// file give the ERROR line and an empty description; a FIFO is never opened.
#include "watcheddir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <log4cplus/loglevel.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TestLabelConfinement : public QObject
{
    Q_OBJECT
private slots:
    void linkTargets_data();
    void linkTargets();
    void deviceInside();
    void fifoIsNeverOpened_data();
    void fifoIsNeverOpened();
};

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QString kUnopenable = QStringLiteral("Cannot open label file for:");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// Whether thread tid of this process sleeps in open() waiting for the FIFO's
// other end. The kernel names that wait in wchan; where it names no function,
// a thread in openat (its syscall file) that sleeps (its stat, read after)
// can only be in that wait. Under qemu-user only wchan tells: the call there
// is the host's, with the host's number.
bool sleepsInOpen(pid_t tid)
{
    const QString task = QStringLiteral("/proc/self/task/%1/").arg(tid);
    if (readAll(task + "wchan") == "wait_for_partner")
        return true;
    const bool inOpenat =
        readAll(task + "syscall").split(' ').value(0) == QByteArray::number(SYS_openat);
    const QByteArray stat = readAll(task + "stat");
    return inOpenat && stat.mid(stat.lastIndexOf(')') + 2, 1) == "S";
}

} // namespace

void TestLabelConfinement::linkTargets_data()
{
    // In a target, {in} stands for the watched directory, {out} for one beside it.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("description");

    QTest::newRow("absolute, outside") << "{out}/secret.txt" << QString();
    QTest::newRow("relative, outside through ..") << "../{outname}/secret.txt" << QString();
    QTest::newRow("/proc/self/environ") << "/proc/self/environ" << QString();
    QTest::newRow("/proc/self/root to a file inside")
        << "/proc/self/root{in}/real.txt" << QString();
    QTest::newRow("outside through an inner link") << "to-out" << QString();
    QTest::newRow("out of a subdirectory through ..")
        << "sub/../../{outname}/secret.txt" << QString();
    QTest::newRow("the directory itself") << "." << QString();
    QTest::newRow("FIFO inside") << "fifo" << QString();
    QTest::newRow("FIFO outside") << "{out}/fifo" << QString();

    QTest::newRow("absolute, inside") << "{in}/real.txt"
                                      << "Inside";
    QTest::newRow("relative, inside") << "real.txt"
                                      << "Inside";
    QTest::newRow("into a subdirectory") << "sub/deep.txt"
                                         << "Deep";
    QTest::newRow("through a linked directory") << "{in}/dir-link/deep.txt"
                                                << "Deep";
    QTest::newRow(".. staying inside") << "sub/../real.txt"
                                       << "Inside";
    QTest::newRow(".. after a linked directory") << "dir-link/../real.txt"
                                                 << "Inside";
    QTest::newRow("a chain of inner links") << "chain"
                                            << "Inside";
}

void TestLabelConfinement::linkTargets()
{
    QFETCH(QString, target);
    QFETCH(QString, description);

    WatchedDir dir;
    QTemporaryDir outside;
    const QString out = QFileInfo(outside.path()).canonicalFilePath();
    QVERIFY(writeFile(out + "/secret.txt", "Secret\n"));
    QCOMPARE(::mkfifo(QFile::encodeName(out + "/fifo").constData(), 0600), 0);
    QVERIFY(dir.writeFile("real.txt", "Inside\n"));
    QVERIFY(dir.mkdir("sub"));
    QVERIFY(dir.writeFile("sub/deep.txt", "Deep\n"));
    QVERIFY(QFile::link("sub", dir.filePath("dir-link")));
    QVERIFY(QFile::link("real.txt", dir.filePath("chain-end")));
    QVERIFY(QFile::link("chain-end", dir.filePath("chain")));
    QVERIFY(QFile::link(out + "/secret.txt", dir.filePath("to-out")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);

    target.replace("{outname}", QFileInfo(out).fileName())
        .replace("{out}", out)
        .replace("{in}", dir.path());
    const QString label = dir.filePath("usb-x.label");
    QCOMPARE(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(label).constData()),
             0);
    QVERIFY(dir.mkdir("usb-x"));
    QVERIFY(dir.start({"usb-:USB"}));

    QCOMPARE(dir.titles(), QStringList{"USB1"});
    QCOMPARE(dir.tree().data(linkPath("usb-x")).value("description").toString(), description);
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL),
             description.isEmpty() ? QStringList{kUnopenable + label} : QStringList());
    for (const QString &line : dir.log().lines())
        QVERIFY2(!line.contains("Secret"), qPrintable(line));
}

// A device node inside the directory is no label either, and is not opened
// (opening alone acts on some devices).
void TestLabelConfinement::deviceInside()
{
    WatchedDir dir;
    const QString label = dir.filePath("usb-x.label");
    if (::mknod(QFile::encodeName(label).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("cannot make a device node here (needs root, and a file system that allows it)");
    QVERIFY(dir.mkdir("usb-x"));
    QVERIFY(dir.start({"usb-:USB"}));
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL), QStringList{kUnopenable + label});
    QCOMPARE(dir.titles(), QStringList{"USB1"});
}

void TestLabelConfinement::fifoIsNeverOpened_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("inside");
    QTest::newRow("the label is a FIFO") << false << true;
    QTest::newRow("link to a FIFO inside") << true << true;
    QTest::newRow("link to a FIFO outside") << true << false;
}

// A writer blocked in open(O_WRONLY) on a FIFO goes on only once a reader
// opens it: still blocked after the worker has seen the label, it proves
// that the worker never opened the FIFO.
void TestLabelConfinement::fifoIsNeverOpened()
{
    QFETCH(bool, throughLink);
    QFETCH(bool, inside);

    WatchedDir dir;
    QTemporaryDir outside;
    const QString label = dir.filePath("usb-x.label");
    const QString fifo = !throughLink ? label
                         : inside     ? dir.filePath("pipe")
                                      : outside.filePath("pipe");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    if (throughLink)
        QVERIFY(QFile::link(fifo, label));

    const QByteArray fifoName = QFile::encodeName(fifo);
    std::atomic<pid_t> writerTid{0};
    int writerFd = -1;
    std::thread writer([&] {
        writerTid = pid_t(::syscall(SYS_gettid));
        writerFd = ::open(fifoName.constData(), O_WRONLY | O_CLOEXEC);
    });
    // Whatever happens below, a reader of our own lets the writer go.
    const auto release = qScopeGuard([&] {
        const int reader = ::open(fifoName.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer.join();
        ::close(writerFd);
        ::close(reader);
    });
    QTRY_VERIFY(writerTid != 0 && sleepsInOpen(writerTid));

    QVERIFY(dir.mkdir("usb-x"));
    QVERIFY(dir.start({"usb-:USB"}));
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL), QStringList{kUnopenable + label});
    QCOMPARE(dir.titles(), QStringList{"USB1"});
    // An open() by the worker would have woken the writer there and then.
    QVERIFY(sleepsInOpen(writerTid));
}

QTEST_GUILESS_MAIN(TestLabelConfinement)
#include "tst_labelconfinement.moc"
