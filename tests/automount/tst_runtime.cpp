// SPDX-License-Identifier: MIT
// The runtime directory, here a private one of the test's own: what an add
// writes down is what a remove reads back, and a lock keeps out whoever
// must wait and lets in whoever may share it.
#include "failure.h"
#include "runtime.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>

#include <thread>

using namespace orva::automount;

class TestRuntime : public QObject
{
    Q_OBJECT
private slots:
    void stepRecord();
    void lock_data();
    void lock();

private:
    QTemporaryDir m_dir;
    const Directory m_run = Directory::openPrivate(m_dir.filePath("run").toStdString());

    // Whether another open file description could take LOCK now.
    bool lockable(int lock) const
    {
        const Fd fd(openat(m_run.fd(), "sda1.lock", O_RDONLY | O_CLOEXEC));
        return fd && flock(fd.get(), lock | LOCK_NB) == 0;
    }
    QStringList recorded() const
    {
        const std::optional<StepRecord> record = StepRecord::load(m_run, "sda1");
        if (!record)
            return {};
        QStringList lines{QString::fromStdString("watch " + record->watchDir + ", entry " +
                                                 record->entry + ", notify " + record->notify)};
        for (const std::string &step : record->steps)
            lines << QString::fromStdString(step);
        return lines;
    }
};

void TestRuntime::stepRecord()
{
    QCOMPARE(recorded(), QStringList());
    StepRecord record;
    QVERIFY_EXCEPTION_THROWN(record.step("probe"), Failure); // not begun
    record.watchDir = "/run/my storage";
    record.entry = "usb-sda1";
    record.notify = "new-sda1";
    record.begin(m_run, "sda1");
    record.step("notify");
    record.step("mount");
    // Read while the add still holds it open, as after a kill.
    QCOMPARE(recorded(), (QStringList{"watch /run/my storage, entry usb-sda1, notify new-sda1",
                                      "notify", "mount"}));
    // Another add of the same device starts afresh: no steps of the last.
    record.notify.clear();
    record.begin(m_run, "sda1");
    record.step("probe");
    QCOMPARE(recorded(), (QStringList{"watch /run/my storage, entry usb-sda1, notify ", "probe"}));
    StepRecord::discard(m_run, "sda1");
    QCOMPARE(recorded(), QStringList());
}

void TestRuntime::lock_data()
{
    QTest::addColumn<bool>("exclusive");
    QTest::newRow("exclusive") << true;
    QTest::newRow("shared") << false;
}

void TestRuntime::lock()
{
    QFETCH(bool, exclusive);
    const Lock::Mode mode = exclusive ? Lock::Mode::Exclusive : Lock::Mode::Shared;
    {
        const Lock held(m_run, "sda1.lock", mode);
        QVERIFY(!lockable(LOCK_EX));
        QCOMPARE(lockable(LOCK_SH), !exclusive);
        // Only once the probe has shown that it would not block: else this
        // would wait out lockWaitSeconds.
        if (!exclusive)
            const Lock second(m_run, "sda1.lock", Lock::Mode::Shared);
    }
    QVERIFY(lockable(LOCK_EX));
    // Held by another until a moment after the wait began: taken then, and
    // not before.
    const Fd other(openat(m_run.fd(), "sda1.lock", O_RDONLY | O_CLOEXEC));
    QVERIFY(flock(other.get(), LOCK_EX) == 0);
    const int heldFor = 200; // ms
    QElapsedTimer clock;
    clock.start();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(heldFor));
        flock(other.get(), LOCK_UN);
    });
    // A wait given up ends the test: the thread is never joined.
    const Lock waited(m_run, "sda1.lock", mode);
    const qint64 took = clock.elapsed();
    release.join();
    QVERIFY2(took >= heldFor, qPrintable(QString("took the lock after %1 ms").arg(took)));
    QVERIFY(!lockable(LOCK_EX));
    QCOMPARE(lockable(LOCK_SH), !exclusive);
}

QTEST_APPLESS_MAIN(TestRuntime)
#include "tst_runtime.moc"
