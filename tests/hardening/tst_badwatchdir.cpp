// SPDX-License-Identifier: MIT
// The watched directory itself misbehaving: renamed away, deleted, replaced,
// mounted over, made unreadable, or impossible to watch. Whatever happens to
// it, the links come to match what the path shows, without polling, and the
// worker says once per loss that it lost the watch and once that it has it again.
#include "unprivileged.h"
#include "watcheddir.h"

#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestBadWatchDir : public QObject
{
    Q_OBJECT
private slots:
    void linksFollowThePath_data();
    void linksFollowThePath();
};

namespace {

constexpr char kInOwnNamespaces[] = "ORVA_TEST_IN_OWN_NAMESPACES";
constexpr char kOwnTmp[] = "ORVA_TEST_OWN_TMP";
constexpr int kRefused = 77;

// Writes text to a file with system calls alone, as a child may between fork and exec.
bool put(const char *path, const QByteArray &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    return ::close(fd) == 0 && written;
}

// True in the child that runInOwnNamespaces() starts: never in the first user
// namespace, whose limits are the machine's.
bool inOwnNamespaces()
{
    QFile map(QStringLiteral("/proc/self/uid_map"));
    return qEnvironmentVariableIsSet(kInOwnNamespaces) && map.open(QIODevice::ReadOnly) &&
           map.readAll().simplified() != "0 0 4294967295";
}

// Runs the current case again in a child process with a user and a mount
// namespace of its own, which die with the child (and the child with this
// process): a watch limit lowered or a file system mounted there goes with
// them, however the run ends, and no other process's files or mounts wake
// the worker there. Returns the child's wait status.
int runInOwnNamespaces()
{
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray testCase =
        QByteArray(QTest::currentTestFunction()) + ':' + QTest::currentDataTag();
    // Root there is this user outside, and owns what it mounts there.
    const QByteArray uidMap = "0 " + QByteArray::number(::geteuid()) + " 1";
    const QByteArray gidMap = "0 " + QByteArray::number(::getegid()) + " 1";
    // The child's own tmpfs goes over this directory, not over the temporary
    // directory itself, which may hold the build and the plug-in.
    const QTemporaryDir ownTmp;
    qputenv(kInOwnNamespaces, "1");
    qputenv(kOwnTmp, QFile::encodeName(ownTmp.path()));
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && put("/proc/self/uid_map", uidMap) &&
            put("/proc/self/setgroups", "deny") && put("/proc/self/gid_map", gidMap) &&
            ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0)
            ::execl(self.constData(), self.constData(), testCase.constData(), nullptr);
        ::_exit(kRefused);
    }
    qunsetenv(kInOwnNamespaces);
    qunsetenv(kOwnTmp);
    int status = -1;
    ::waitpid(child, &status, 0);
    return status;
}

// Counts the timer events that reach any object of this thread while it lives.
struct TimerEvents : QObject
{
    TimerEvents() { QCoreApplication::instance()->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::Timer;
        return false;
    }
    int count = 0;
};

// What the worker said of its watch, with the watched path written as P.
QStringList watchLines(WatchedDir &dir)
{
    QStringList lines;
    for (QString line : dir.log().lines())
        if (line.startsWith("ERROR ") || line.startsWith("INFO Watching path "))
            lines.append(line.replace(dir.path(), "P"));
    return lines;
}

// One step of a case ("op a b"), on paths below the directory that holds w,
// the watched one.
bool apply(WatchedDir &dir, const QString &step)
{
    const QStringList word = step.split(' ');
    const QString a = dir.root() + '/' + word.value(1);
    const QString b = dir.root() + '/' + word.value(2);
    const QString op = word.first();
    if (op == "start")
        return dir.start({"s:S"});
    if (op == "mkdir")
        return QDir().mkpath(a);
    if (op == "mv")
        return QDir().rename(a, b);
    if (op == "rm")
        return QFileInfo(a).isDir() ? QDir(a).removeRecursively() : QFile::remove(a);
    if (op == "touch")
        return QFile(a).open(QIODevice::WriteOnly);
    if (op == "ln")
        return QFile::link(a, b);
    if (op == "chmod")
        return ::chmod(QFile::encodeName(a), word.value(2).toUInt(nullptr, 8)) == 0;
    if (op == "mount")
        return ::mount("none", QFile::encodeName(a), "tmpfs", 0, "size=1m") == 0;
    if (op == "umount")
        return ::umount(QFile::encodeName(a)) == 0;
    if (op == "limit") { // of the user namespace
        QFile file(QStringLiteral("/proc/sys/user/max_inotify_watches"));
        return file.open(QIODevice::WriteOnly) && file.write(word.value(1).toLatin1()) > 0;
    }
    return false;
}

} // namespace

void TestBadWatchDir::linksFollowThePath_data()
{
    // Steps, "; " between them: "= a b" waits for the rows of w/a and w/b, in
    // that order. Then what the worker said of its watch of P, the watched path.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("said");
    const QString start = "INFO Watching path P for prefixes s and notifications ";
    const QStringList lostOnce{start, "ERROR Cannot watch path P, waiting for it to come back",
                               "INFO Watching path P again"};

    // A directory's own watch does not see it being renamed: the parent's does.
    QTest::newRow("renamed away and back")
        << "mkdir w/s1; start; = s1; mv w w.old; =; mv w.old w; = s1; mkdir w/s2; = s1 s2"
        << lostOnce;
    QTest::newRow("renamed away and made anew")
        << "mkdir w/s1; start; = s1; mv w w.old; mkdir w/s2; = s2; mkdir w/s3; = s2 s3" << lostOnce;
    QTest::newRow("deleted and made anew")
        << "mkdir w/s1; start; = s1; rm w; =; mkdir w/s2; = s2; mkdir w/s3; = s2 s3" << lostOnce;
    QTest::newRow("replaced by a file and back")
        << "mkdir w/s1; start; = s1; rm w; touch w; =; rm w; mkdir w/s2; = s2" << lostOnce;
    // A directory above it mounted over: its watch goes to the new root,
    // the only one that sees w made there, and back once it is unmounted.
    QTest::newRow("its parent mounted over")
        << "mkdir a/w/s1; start; = s1; mount a; =; mkdir a/w/s2; = s2; umount a; = s1"
        << lostOnce + lostOnce.mid(1);
    // The path is followed through the link: the watch goes to its target.
    QTest::newRow("replaced by a link to another directory")
        << "mkdir w/s1; mkdir v/s7; start; = s1; rm w; ln v w; = s7; mkdir v/s8; = s7 s8"
        << lostOnce;
    // As at boot, when the automounter's file system comes after the host.
    QTest::newRow("mounted over and unmounted")
        << "mkdir w/s1; start; = s1; mount w; =; mkdir w/s2; = s2; umount w; = s1; mkdir w/s3; "
           "= s1 s3"
        << lostOnce + lostOnce.mid(1);
    // Both roots are inode 1 of a tmpfs: only the device tells them apart.
    QTest::newRow("a mount point mounted over")
        << "mount w; mkdir w/s1; start; = s1; mount w; =; mkdir w/s2; = s2; umount w; = s1"
        << lostOnce + lostOnce.mid(1);
    // Said once, and not tried again.
    QTest::newRow("a regular file")
        << "rm w; touch w; start; ="
        << QStringList{start, "ERROR Cannot watch path P: not a directory"};
    // Unreadable, the directory lists as empty; its watch holds all the while.
    QTest::newRow("made unreadable and readable again")
        << "mkdir w/s1; nobody; start; = s1; chmod w 311; =; chmod w 755; = s1; idle"
        << QStringList{start};
    // A watch refused from the start is said at once ("said N": the first N
    // lines have been said by then).
    QTest::newRow("unwatchable, then readable")
        << "mkdir w/s1; chmod w 311; nobody; start; =; said 2; idle; chmod w 755; = s1; "
           "mkdir w/s2; = s1 s2"
        << lostOnce;
    // No event tells when watches may be had again: only then does the
    // worker try again on a timer, and only until it has the watch ("idle":
    // no timer event for a while). The first scan needs no watch.
    QTest::newRow("watch limit reached and lifted")
        << "mkdir w/s1; limit 0; start; = s1; mkdir w/s2; limit 1000; = s1 s2; mkdir w/s3; "
           "= s1 s2 s3; idle"
        << lostOnce;
    // The parent's watch holds; only the path's own is refused, and retried.
    QTest::newRow("watch limit reached for the path alone")
        << "mkdir w/s1; start; = s1; limit 0; rm w; mkdir w/s2; = s2; limit 1000; mkdir w/s3; "
           "= s2 s3"
        << lostOnce;
}

void TestBadWatchDir::linksFollowThePath()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, said);
    if (steps.contains("limit") && qgetenv("ORVA_TEST_WATCH_LIMIT") != "1")
        QSKIP("reaches the inotify watch limit: set ORVA_TEST_WATCH_LIMIT=1 to run it");
    // Where it may, a case runs in namespaces of its own: "nobody" has no
    // place there. The watch limit and a mount need them.
    if (!steps.contains("nobody") && !inOwnNamespaces()) {
        const int status = runInOwnNamespaces();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != kRefused) {
            QCOMPARE(status, 0);
            return;
        }
        if (steps.contains("limit") || steps.contains("mount"))
            QSKIP("cannot run the case again in a user and a mount namespace of its own here");
    }

    // There, deaf to the machine's mounts, below a file system of the case's
    // own, which no one else writes and which goes with the namespace.
    if (inOwnNamespaces()) {
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        const QByteArray ownTmp = qgetenv(kOwnTmp);
        QCOMPARE(::mount("none", ownTmp.constData(), "tmpfs", 0, nullptr), 0);
        qputenv("TMPDIR", ownTmp);
    }
    WatchedDir dir(steps.startsWith("mkdir a/w/") ? "a/w" : "w");
    QScopedPointer<Unprivileged> user;
    for (const QString &step : steps.split("; ")) {
        if (step.startsWith('=')) {
            QStringList rows;
            for (const QString &name : step.mid(1).split(' ', Qt::SkipEmptyParts))
                rows.append(linkPath(name));
            QTRY_COMPARE(dir.rows(), rows);
            QCOMPARE(dir.titles().size(), rows.size());
        } else if (step == "idle") { // nothing is short of watches: no timer runs
            TimerEvents timers;
            QTest::qWait(1200);
            QCOMPARE(timers.count, 0);
        } else if (step.startsWith("said ")) {
            QCOMPARE(watchLines(dir), said.mid(0, step.mid(5).toInt()));
        } else if (step == "nobody") { // the rest as "nobody", who owns w
            const uid_t nobody = Unprivileged::kNobody;
            QVERIFY(::geteuid() != 0 ||
                    (::chown(QFile::encodeName(dir.path()), nobody, nobody) == 0 &&
                     QFile::setPermissions(dir.root(), QFileDevice::Permissions(0x7755))));
            user.reset(new Unprivileged);
            if (!user->isActive())
                QSKIP("cannot give up root's rights");
        } else {
            QVERIFY2(apply(dir, step), qPrintable(step));
        }
    }
    QCOMPARE(watchLines(dir), said);
}

QTEST_GUILESS_MAIN(TestBadWatchDir)
#include "tst_badwatchdir.moc"
