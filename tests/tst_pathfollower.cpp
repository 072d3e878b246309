// SPDX-License-Identifier: MIT
// The follower climbs from its path to the top, whatever the path: relative,
// dotted, doubled slashes, a NUL. It must come to an end, and still hear a
// change of the directory above.
#include "pathfollower.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestPathFollower : public QObject
{
    Q_OBJECT
private slots:
    void climbEndsOnAnyPath_data();
    void climbEndsOnAnyPath();
};

void TestPathFollower::climbEndsOnAnyPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("absolute") << QStringLiteral("ROOT/watched");
    QTest::newRow("doubled slashes") << QStringLiteral("ROOT//watched//");
    QTest::newRow("dot") << QStringLiteral(".");
    QTest::newRow("relative") << QStringLiteral("watched");
    QTest::newRow("dot-dot") << QStringLiteral("../x/..");
    QTest::newRow("empty") << QString();
    QTest::newRow("NUL after a dot") << QStringLiteral(".") + QChar(0) + QStringLiteral("x");
    QTest::newRow("root") << QStringLiteral("/");
}

void TestPathFollower::climbEndsOnAnyPath()
{
    QFETCH(QString, path);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkdir("watched"));
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root.path()));
    path.replace(QLatin1String("ROOT"), root.path());

    PathFollower follower(path);
    QDir::setCurrent(old);
    if (!path.startsWith(root.path()))
        return; // made at all: the climb came to an end
    QSignalSpy changed(&follower, &PathFollower::changed);
    QVERIFY(QDir(root.path()).mkdir("beside"));
    QVERIFY(changed.wait());
}

QTEST_GUILESS_MAIN(TestPathFollower)
#include "tst_pathfollower.moc"
