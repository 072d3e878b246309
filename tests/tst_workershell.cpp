#include <QtTest>
class TestWorkerShell : public QObject { Q_OBJECT private slots: void placeholder() {} };
QTEST_GUILESS_MAIN(TestWorkerShell)
#include "tst_workershell.moc"
