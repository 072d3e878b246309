// SPDX-License-Identifier: MIT
// Odd entry names, and label files as someone who may write the watched
// directory would lay them out for a host running as root: only a regular
// file inside that directory is read; links leading out, through /proc, or to
// anything but a regular file give the ERROR line and an empty description;
// a FIFO is never opened. Each entry still gets its link, and the worker
// keeps going.
#include "unprivileged.h"
#include "watcheddir.h"

#include <QtTest>

#include <log4cplus/loglevel.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

class TestBadEntries : public QObject
{
    Q_OBJECT
private slots:
    void entryNames_data();
    void entryNames();
    void labelFiles_data();
    void labelFiles();
    void standardInputClosed();
};

namespace {

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

void TestBadEntries::entryNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("linked");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("description");

    // Split at the first dash; neither blanks nor escapes are touched.
    QTest::newRow("dashes, blanks, newline, backslash")
        << QByteArray("usb--a  b\nc\\x41 ") << true << "-a  b\nc\\x41 "
        << "label";
    QTest::newRow("UTF-8") << QByteArray("usb-Caf\xc3\xa9") << true
                           << QString::fromUtf8("Caf\u00e9") << "label";
    QTest::newRow("leading dash") << QByteArray("-sd-a") << true << QString() << "label";
    // The label's name would be longer than a file name may be.
    QTest::newRow("255 bytes") << "usb-" + QByteArray(251, 'a') << true << QString(251, 'a')
                               << QString();
    // A name the locale's codec cannot decode does not round-trip, so the
    // listing leaves it out.
    QTest::newRow("not UTF-8") << QByteArray("usb-\xff") << false << QString() << QString();
}

void TestBadEntries::entryNames()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, linked);
    QFETCH(QString, id);
    QFETCH(QString, description);
    if (QTextCodec::codecForLocale()->mibEnum() != 106) // names are decoded with it
        QSKIP("needs a UTF-8 locale (LANG=C.UTF-8)");

    WatchedDir dir;
    const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
    // The longest name leaves no room for a label's.
    QVERIFY(dir.writeFile(QFile::decodeName(name + ".label"), "label\n") || name.size() > 250);
    QVERIFY(::mkdir(path.constData(), 0755) == 0);
    const auto cleanUp = qScopeGuard([&] { ::rmdir(path.constData()); });
    QVERIFY(dir.mkdir("usb-ok"));
    QVERIFY(dir.start({"usb-:USB", ":Any"}));

    const QString shown = QFile::decodeName(name);
    QCOMPARE(dir.rows().size(), linked ? 2 : 1);
    if (linked) {
        const QVariantHash data = dir.tree().data(linkPath(shown));
        QCOMPARE(data.value("id").toString(), id);
        QCOMPARE(data.value("description").toString(), description);
        QCOMPARE(data.value("target").toString(), "/media/" + shown);
    }
    QVERIFY(dir.log().messages(log4cplus::ERROR_LOG_LEVEL).isEmpty());

    // A link went from the count of the first record that matches it: once
    // every one went, numbering starts again.
    QCOMPARE(::rmdir(path.constData()), 0);
    QVERIFY(dir.rmdir("usb-ok"));
    QTRY_VERIFY(dir.rows().isEmpty());
    QVERIFY(dir.mkdir("usb-z"));
    QTRY_COMPARE(dir.titles(), QStringList{"USB1"});
}

void TestBadEntries::labelFiles_data()
{
    // What usb-x.label is: "-> T" a link to T, where {in} stands for the
    // watched directory w and {out} for w-out beside it, which shares its
    // name's start.
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("error");

    QTest::newRow("absolute, outside") << "-> {out}/secret.txt" << QString() << true;
    QTest::newRow("relative, outside through ..") << "-> ../w-out/secret.txt" << QString() << true;
    // The kernel would take this inside; the label is read only below the
    // directory's own path, so no /proc link is ever taken.
    QTest::newRow("/proc/self/root to a file inside")
        << "-> /proc/self/root{in}/real.txt" << QString() << true;
    QTest::newRow("outside through an inner link") << "-> to-out" << QString() << true;
    QTest::newRow("the label is a FIFO") << "fifo" << QString() << true;
    QTest::newRow("link to a FIFO inside") << "-> fifo" << QString() << true;
    QTest::newRow("link to a directory inside") << "-> sub" << QString() << true;
    QTest::newRow("link to /dev/zero") << "-> /dev/zero" << QString() << true;
    // What root cannot be shown: a label that its reader may not open.
    QTest::newRow("no read permission") << "unreadable" << QString() << true;
    // No label at all, as for any label path that does not exist: no line.
    QTest::newRow("dangling link") << "-> {out}/none" << QString() << false;
    QTest::newRow("link to itself") << "-> {in}/usb-x.label" << QString() << false;

    QTest::newRow("absolute, inside") << "-> {in}/real.txt"
                                      << "Inside" << false;
    QTest::newRow("through a linked directory") << "-> {in}/dir-link/deep.txt"
                                                << "Deep" << false;
    QTest::newRow(".. staying inside") << "-> sub/../real.txt"
                                       << "Inside" << false;
    QTest::newRow("two .. in a row") << "-> sub/deeper/../../real.txt"
                                     << "Inside" << false;
    // From a subdirectory an absolute link starts again at the top, with
    // nothing above it.
    QTest::newRow("a chain of inner links, one absolute") << "-> chain"
                                                          << "Inside" << false;
    QTest::newRow("absolute from below, then above the top")
        << "-> sub/deeper/up" << QString() << true;
    // As many links as the kernel follows in one lookup, the label's own among them.
    QTest::newRow("40 links") << "-> l1"
                              << "Inside" << false;
}

void TestBadEntries::labelFiles()
{
    QFETCH(QString, label);
    QFETCH(QString, description);
    QFETCH(bool, error);

    WatchedDir dir(QStringLiteral("w"));
    const QString out = dir.root() + "/w-out";
    QVERIFY(QDir().mkdir(out));
    QVERIFY(dir.writeFile("../w-out/secret.txt", "Secret\n"));
    QVERIFY(dir.writeFile("real.txt", "Inside\n"));
    // Where {out}/secret.txt would lead if w's path were cut off its front.
    QVERIFY(dir.mkdir("-out"));
    QVERIFY(dir.writeFile("-out/secret.txt", "Secret\n"));
    QVERIFY(dir.mkdir("sub"));
    QVERIFY(dir.mkdir("sub/deeper"));
    QVERIFY(dir.writeFile("sub/deep.txt", "Deep\n"));
    QVERIFY(QFile::link("sub", dir.filePath("dir-link")));
    QVERIFY(QFile::link("real.txt", dir.filePath("chain-end")));
    QVERIFY(QFile::link(dir.filePath("chain-end"), dir.filePath("sub/up")));
    QVERIFY(QFile::link("sub/up", dir.filePath("chain")));
    QVERIFY(QFile::link(out + "/secret.txt", dir.filePath("to-out")));
    QVERIFY(QFile::link(dir.path() + "/../deep.txt", dir.filePath("sub/deeper/up")));
    QVERIFY(dir.writeFile("../deep.txt", "Secret\n"));
    for (int i = 1; i < 40; ++i) // l1 -> l2 -> ... -> l39 -> real.txt
        QVERIFY(QFile::link(i < 39 ? QStringLiteral("l%1").arg(i + 1) : "real.txt",
                            dir.filePath(QStringLiteral("l%1").arg(i))));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
    QVERIFY(dir.mkdir("usb-x"));

    const QString path = dir.filePath("usb-x.label");
    const bool isFifo = label.endsWith("fifo");
    QScopedPointer<Unprivileged> user;
    if (label == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (label == "unreadable") {
        QVERIFY(dir.writeFile("usb-x.label", "Secret\n"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        QVERIFY(QFile::setPermissions(dir.root(), QFileDevice::Permissions(0x7755)));
        user.reset(new Unprivileged);
        if (!user->isActive())
            QSKIP("cannot give up root's rights");
    } else {
        label = label.mid(3).replace("{out}", out).replace("{in}", dir.path());
        QCOMPARE(
            ::symlink(QFile::encodeName(label).constData(), QFile::encodeName(path).constData()),
            0);
    }
    // A writer blocked in open(O_WRONLY) on a FIFO goes on only once a reader
    // opens it; in the end, a reader of our own.
    const QByteArray fifo = QFile::encodeName(path);
    std::atomic<pid_t> writerTid{0};
    int writerFd = -1;
    std::thread writer;
    if (isFifo)
        writer = std::thread([&] {
            writerTid = pid_t(::syscall(SYS_gettid));
            writerFd = ::open(fifo.constData(), O_WRONLY | O_CLOEXEC);
        });
    const auto release = qScopeGuard([&] {
        const int reader =
            isFifo ? ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        if (isFifo)
            writer.join();
        ::close(writerFd);
        ::close(reader);
    });
    QTRY_VERIFY(!isFifo || (writerTid != 0 && sleepsInOpen(writerTid)));
    QVERIFY(dir.start({"usb-:USB"}));

    QCOMPARE(dir.titles(), QStringList{"USB1"});
    QCOMPARE(dir.tree().data(linkPath("usb-x")).value("description").toString(), description);
    QCOMPARE(dir.log().messages(log4cplus::ERROR_LOG_LEVEL),
             error ? QStringList{kUnopenable + path} : QStringList());
    for (const QString &line : dir.log().lines())
        QVERIFY2(!line.contains("Secret"), qPrintable(line));
    // An open() by the worker would have woken the writer there and then.
    QVERIFY(!isFifo || sleepsInOpen(writerTid));
}

// A host may run with its standard input closed, as a daemon does: the label
// is then read through descriptor 0, the lowest free one, and closed again.
void TestBadEntries::standardInputClosed()
{
    WatchedDir dir;
    QVERIFY(dir.writeFile("usb-x.label", "Label\n"));
    QVERIFY(dir.start({"usb-:USB"}));
    const int saved = ::dup(0);
    QCOMPARE(::close(0), 0);
    const auto restore = qScopeGuard([saved] {
        ::dup2(saved, 0);
        ::close(saved);
    });
    QVERIFY(dir.mkdir("usb-x"));
    QTRY_COMPARE(dir.titles(), QStringList{"USB1"});
    QCOMPARE(dir.tree().data(linkPath("usb-x")).value("description").toString(), "Label");
    QCOMPARE(::fcntl(0, F_GETFD), -1);
}

QTEST_GUILESS_MAIN(TestBadEntries)
#include "tst_badentries.moc"
