// SPDX-License-Identifier: MIT
// What orva::support builds and reads, checked against the host stand-in
// directly, so that a check built on it cannot pass for the wrong reason.
#include "configitems.h"
#include "logcapture.h"
#include "workertree.h"

#include <QtTest>

#include <log4cplus/loggingmacros.h>

class TestSupport : public QObject
{
    Q_OBJECT
private slots:
    void prefixItemsAsTheHostPassesThem();
    void treeListsLinksAndFindsUnresolvedRows();
    void captureRecordsAndPutsTheLoggerBack();
};

namespace {

class TreeWorker : public CMNodesWorker
{
public:
    TreeWorker() : CMNodesWorker({}, QStringLiteral("TreeWorker")) {}
};

CMPath path(const char *text)
{
    return CMPath::fromEncoded(QString::fromLatin1(text));
}

} // namespace

void TestSupport::prefixItemsAsTheHostPassesThem()
{
    QCOMPARE(prefixItems(QStringList{"usb-:USB", "a:b:c", "lone"}),
             (QVariantList{QStringList{"usb-", "USB"}, QStringList{"a", "b:c"},
                           QStringList{"lone", "lone"}}));
    const QVariantHash config = makeConfig("/w", {"sd:Disk"});
    QCOMPARE(config.value("watchPath").toString(), QStringLiteral("/w"));
    QCOMPARE(config.value("linkPrefix").toString(), QStringLiteral("/media/"));
    QCOMPARE(config.value("watchPrefixes").toList(), (QVariantList{QStringList{"sd", "Disk"}}));
    QCOMPARE(config.value("watchNotifications").toList(), QVariantList());
}

void TestSupport::treeListsLinksAndFindsUnresolvedRows()
{
    TreeWorker worker;
    CMListRowsNode *list = CMListRowsNode::create(worker.nodes(), path("/w"));
    CMLinkRowsNode *b = CMLinkRowsNode::create(worker.nodes(), path("/w/b"), path("/media/b"));
    CMLinkRowsNode::create(worker.nodes(), path("/w/a"), path("/media/a"));
    b->setTitle(TrString(QStringLiteral("B")));
    list->rowsAppend(b->path());
    list->rowsAppend(path("/w/gone"));

    const WorkerTree tree(&worker);
    QCOMPARE(tree.linkPaths(), (QStringList{"/w/a", "/w/b"}));
    QCOMPARE(tree.linkTitles(), (QStringList{QString(), "B"}));
    QCOMPARE(tree.rows("/w"), (QStringList{"/w/b", "/w/gone"}));
    QCOMPARE(tree.unresolvedRows(), QStringList{"/w/gone"});
    b->dispose();
    QCOMPARE(tree.unresolvedRows(), (QStringList{"/w/b", "/w/gone"}));
}

void TestSupport::captureRecordsAndPutsTheLoggerBack()
{
    log4cplus::Logger logger = log4cplus::Logger::getInstance("orva.support.test");
    logger.setLogLevel(log4cplus::WARN_LOG_LEVEL);
    {
        LogCapture log("orva.support.test");
        LOG4CPLUS_DEBUG(logger, "seen " << 1);
        QCOMPARE(log.lines(), QStringList{"DEBUG seen 1"});
        const LogRecord &record = log.records().first();
        QVERIFY2(record.file.endsWith("tst_support.cpp"), qPrintable(record.file));
        QVERIFY(record.line > 0);
        QVERIFY2(record.function.contains("captureRecordsAndPutsTheLoggerBack"),
                 qPrintable(record.function));
        QVERIFY(!logger.getAdditivity());
    }
    QCOMPARE(logger.getLogLevel(), log4cplus::WARN_LOG_LEVEL);
    QVERIFY(logger.getAdditivity());
    QVERIFY(logger.getAllAppenders().empty());
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
