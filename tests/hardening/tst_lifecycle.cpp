// SPDX-License-Identifier: MIT
// Workers created, run through real changes and destroyed, and the plug-in
// loaded and unloaded, many times: the sanitizer build checks that nothing
// leaks and nothing outlives its owner.
#include "watcheddir.h"

#include <QtTest>

class TestLifecycle : public QObject
{
    Q_OBJECT
private slots:
    void createRunDestroyLoadUnload();
};

void TestLifecycle::createRunDestroyLoadUnload()
{
    QTemporaryDir tmp;
    const QString path = QFileInfo(tmp.path()).canonicalFilePath();
    QVERIFY(QDir(path).mkdir("usb-sda1"));
    for (int load = 0; load < 5; ++load) {
        PluginWorker plugin; // loads the library; unloads it when it goes
        for (int worker = 0; worker < 4; ++worker) {
            QVERIFY2(plugin.create(makeConfig(path, {"usb-:USB"}, {"sd:SD"})),
                     qPrintable(plugin.errorString()));
            const QString entry = QStringLiteral("usb-%1-%2").arg(load).arg(worker);
            QVERIFY(QDir(path).mkdir(entry));
            QVERIFY(QDir(path).mkdir("sdx"));
            QTRY_COMPARE(plugin.tree().linkPaths().size(), 2);
            QVERIFY(QDir(path).rmdir(entry));
            QTRY_COMPARE(plugin.tree().linkPaths().size(), 1);
            QVERIFY(QDir(path).rmdir("sdx"));
            // Destroyed with the notification timer possibly running.
            plugin.destroy();
        }
    }
}

QTEST_GUILESS_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
