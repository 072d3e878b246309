// SPDX-License-Identifier: MIT
// What orva-automount tells whoever started it: its lines, with their
// priority where they go to the journal, and its exit status, which sets a
// wrong command line and a refused device apart from a failure.
#include "failure.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

using namespace orva::automount;

class TestOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void priorities_data();
    void priorities();
    void exitStatus_data();
    void exitStatus();
    void refusedByPolicy();

private:
    QTemporaryDir m_dir;

    // JOURNAL_STREAM's value for the file PATH, as systemd sets it for a
    // stream: its device and inode in decimal.
    static QByteArray streamOf(const QString &path)
    {
        struct stat info;
        if (stat(QFile::encodeName(path).constData(), &info) != 0)
            return {};
        return QByteArray::number(static_cast<qulonglong>(info.st_dev)) + ":" +
               QByteArray::number(static_cast<qulonglong>(info.st_ino));
    }
    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }
    // The program's run with ARGS, standard error to a file; JOURNAL_STREAM
    // names that file when JOURNAL is set, else it is not set at all.
    struct Run
    {
        int status = -1;
        QByteArray err;
    };
    Run run(const QStringList &args, bool journal);
};

void TestOutput::priorities_data()
{
    QTest::addColumn<QString>("call");    // say, warn or fail
    QTest::addColumn<QString>("journal"); // what JOURNAL_STREAM names
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    const QByteArray line = "orva-automount: a message\n";
    const auto row = [](const char *tag, const char *call, const char *journal,
                        const QByteArray &out, const QByteArray &err) {
        QTest::newRow(tag) << call << journal << out << err;
    };
    row("failure, to the journal", "fail", "err", "", "<3>" + line);
    row("warning, to the journal", "warn", "err", "", "<4>" + line);
    row("what was done, to the journal", "say", "out", "<6>" + line, "");
    // A unit's JOURNAL_STREAM is inherited by whatever it starts, and still
    // there when the output goes elsewhere.
    row("failure, stdout the journal", "fail", "out", "", line);
    row("what was done, stderr the journal", "say", "err", line, "");
    row("failure, another stream the journal", "fail", "other", "", line);
    row("failure, no journal", "fail", "", "", line);
    row("failure, JOURNAL_STREAM not a number pair", "fail", "err junk", "", line);
}

void TestOutput::priorities()
{
    QFETCH(QString, call);
    QFETCH(QString, journal);
    const QString outPath = m_dir.filePath("out"), errPath = m_dir.filePath("err");
    for (const QString &path : {outPath, errPath, m_dir.filePath("other")}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }
    const QByteArray stream = journal.isEmpty()
                                  ? QByteArray()
                                  : streamOf(m_dir.filePath(journal.section(' ', 0, 0))) +
                                        journal.section(' ', 1).toUtf8();
    // This test's own output goes to stdout: nothing of it may be pending
    // while the descriptors are swapped, and no QVERIFY runs in between.
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    const int out = open(QFile::encodeName(outPath).constData(), O_WRONLY | O_CLOEXEC);
    const int err = open(QFile::encodeName(errPath).constData(), O_WRONLY | O_CLOEXEC);
    const bool redirected = savedOut >= 0 && savedErr >= 0 && out >= 0 && err >= 0 &&
                            dup2(out, STDOUT_FILENO) >= 0 && dup2(err, STDERR_FILENO) >= 0;
    if (redirected) {
        if (stream.isEmpty())
            qunsetenv("JOURNAL_STREAM");
        else
            qputenv("JOURNAL_STREAM", stream);
        if (call == "say")
            say("a message");
        else if (call == "warn")
            warn("a message");
        else
            fail("a message");
        qunsetenv("JOURNAL_STREAM");
    }
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    for (int fd : {savedOut, savedErr, out, err})
        close(fd);
    QVERIFY(redirected);
    QTEST(contents(outPath), "out");
    QTEST(contents(errPath), "err");
}

TestOutput::Run TestOutput::run(const QStringList &args, bool journal)
{
    const QString errPath = m_dir.filePath("program.err");
    QFile::remove(errPath);
    {
        QFile file(errPath);
        if (!file.open(QIODevice::WriteOnly))
            return {};
    }
    QFile config(m_dir.filePath("config"));
    if (!config.open(QIODevice::WriteOnly))
        return {};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ORVA_AUTOMOUNT_CONFIG", config.fileName());
    environment.remove("JOURNAL_STREAM");
    if (journal)
        environment.insert("JOURNAL_STREAM", QString::fromLatin1(streamOf(errPath)));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(errPath, QIODevice::Append);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(ORVA_AUTOMOUNT, args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return Run{process.exitCode(), contents(errPath)};
}

void TestOutput::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("journal");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("usage"); // shown before the message
    QTest::addColumn<QByteArray>("message");
    const auto row = [](const char *tag, const QStringList &args, bool journal, int status,
                        bool usage, const QByteArray &message) {
        QTest::newRow(tag) << args << journal << status << usage << message;
    };
    row("unknown option", {"-x", "remove", "/dev/null"}, false, 2, true,
        "orva-automount: unknown option -x");
    row("unknown command", {"mount", "/dev/null"}, false, 2, true,
        "orva-automount: unknown command 'mount'");
    row("no command", {"--prefix", "p-"}, false, 2, true, "orva-automount: expected a command");
    row("no device", {"add"}, false, 2, true, "orva-automount: add expects a device");
    row("an option's value missing", {"--watch-dir"}, false, 2, false,
        "orva-automount: --watch-dir needs a directory");
    row("usage error, to the journal", {"-x", "remove", "/dev/null"}, true, 2, true,
        "<3>orva-automount: unknown option -x");
    row("failure", {"add", "/nonexistent/sdz1"}, false, 1, false,
        "orva-automount: /nonexistent/sdz1 is not a block device");
    row("failure, to the journal", {"add", "/nonexistent/sdz1"}, true, 1, false,
        "<3>orva-automount: /nonexistent/sdz1 is not a block device");
}

void TestOutput::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(bool, journal);
    QFETCH(bool, usage);
    QFETCH(QByteArray, message);
    const Run result = run(args, journal);
    QTEST(result.status, "status");
    QCOMPARE(result.err.startsWith("Usage: orva-automount "), usage);
    QVERIFY2(result.err.endsWith("\n" + message + "\n") || result.err == message + "\n",
             result.err.constData());
}

// A loop device is on neither bus, so add refuses it unless given a prefix,
// before it needs root or touches anything.
void TestOutput::refusedByPolicy()
{
    QString loop;
    for (int n = 0; n < 8 && loop.isEmpty(); ++n) {
        struct stat info;
        const QByteArray node = "/dev/loop" + QByteArray::number(n);
        if (stat(node.constData(), &info) == 0 && S_ISBLK(info.st_mode) &&
            QFileInfo::exists(
                QString("/sys/dev/block/%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev))))
            loop = node;
    }
    if (loop.isEmpty())
        QSKIP("no loop device here");
    const Run result = run({"add", loop}, true);
    QCOMPARE(result.status, 3);
    QCOMPARE(result.err, "<3>orva-automount: " + loop.toUtf8() +
                             " is on neither USB nor SD/MMC: give --prefix\n");
}

QTEST_APPLESS_MAIN(TestOutput)
#include "tst_output.moc"
