// SPDX-License-Identifier: MIT
// The host stand-in's own contract: paths, rows, node ownership, requests.
#include "logcapture.h"

#include <orva/cmworker.h>
#include <orva/cmworkerplugin.h>
#include <orva/orvaglobal.h>

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <sstream>

#include <dlfcn.h>

namespace {

class TestWorker : public CMNodesWorker
{
public:
    explicit TestWorker(const QVariantHash &config = {})
        : CMNodesWorker(config, QStringLiteral("TestWorker"))
    {
    }
};

CMPath path(const char *text)
{
    return CMPath::fromEncoded(QString::fromUtf8(text));
}

} // namespace

// Takes CMNodes::changed through a connection made by signature.
class PathReceiver : public QObject
{
    Q_OBJECT
public:
    QStringList seen;
public slots:
    void receive(const CMPath &path, CMNodes::Change change)
    {
        seen << QString::number(change) + QLatin1Char(':') + path.toEncoded();
    }
};

class TestHostStandIn : public QObject
{
    Q_OBJECT
private slots:
    // First: a test run before it must not have made the types known.
    void queuedConnectionBySignatureCarriesPath();
    void pathEncodingRoundTrips_data();
    void pathEncodingRoundTrips();
    void rowOperationsMatchAPlainList_data();
    void rowOperationsMatchAPlainList();
    void prefixComesFromConfiguration();
    void nodeAtTakenPathDoesNotFreeTheFirst();
    void requestsAnswerWhatWasPublished();
    void setDataRequestChangesEachKey_data();
    void setDataRequestChangesEachKey();
    void subscriptionsSeeChanges();
    void signatureHelpers();
    void failedCreationSaysWhy_data();
    void failedCreationSaysWhy();
};

void TestHostStandIn::queuedConnectionBySignatureCarriesPath()
{
    TestWorker worker;
    PathReceiver receiver;
    QVERIFY(orvaConnect(worker.nodes(), SIGNAL(changed(CMPath, CMNodes::Change)), &receiver,
                        SLOT(receive(CMPath, CMNodes::Change)), Qt::QueuedConnection));
    CMUINode::create(worker.nodes(), path("/w/q"));
    QVERIFY(receiver.seen.isEmpty());
    QTRY_COMPARE(receiver.seen, QStringList{QString::number(CMNodes::NodeAdded) + ":/w/q"});
}

void TestHostStandIn::pathEncodingRoundTrips_data()
{
    QTest::addColumn<QString>("encoded");
    QTest::newRow("empty") << QString();
    QTest::newRow("absolute") << QStringLiteral("/a/b");
    QTest::newRow("odd") << QStringLiteral("/x y/%2F/\u00e9//");
}

void TestHostStandIn::pathEncodingRoundTrips()
{
    QFETCH(QString, encoded);
    const CMPath p = CMPath::fromEncoded(encoded);
    QCOMPARE(p.toEncoded(), encoded);
    QCOMPARE((p + QStringLiteral("/n")).toEncoded(), encoded + QStringLiteral("/n"));
    CMPath appended = p;
    QCOMPARE((appended += QStringLiteral("/n")).toEncoded(), encoded + QStringLiteral("/n"));
    std::ostringstream out;
    out << p;
    QCOMPARE(QString::fromStdString(out.str()), encoded);
}

void TestHostStandIn::rowOperationsMatchAPlainList_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("reads"); // one read of the rows per this many operations
    QTest::newRow("reads after every operation") << 1u << 1;
    QTest::newRow("runs of removals between reads") << 2u << 40;
    QTest::newRow("one read at the end") << 3u << 100000;
}

// Removals by index wait to be closed up until the rows are next read or
// changed otherwise: whatever the order of operations, the rows read are
// those of a plain list given the same operations. A removal by path takes
// the rows of that path and below it, by component: /x/1 never /x/10.
void TestHostStandIn::rowOperationsMatchAPlainList()
{
    QFETCH(quint32, seed);
    QFETCH(int, reads);
    TestWorker worker;
    CMListRowsNode *list = CMListRowsNode::create(worker.nodes(), path("/x"));
    QVariantList model;
    // Every operation that changes the rows is announced once, one that
    // changes nothing not at all: a subscriber sees each change as it comes.
    QSignalSpy announced(worker.nodes(), &CMNodes::changed);
    QRandomGenerator random(seed);
    for (int op = 1; op <= 3000; ++op) {
        const QVariantList before = model;
        announced.clear();
        const int dice = int(random.bounded(10));
        if (dice < 4 || model.isEmpty()) {
            const QString row = QStringLiteral("/x/%1%2")
                                    .arg(random.bounded(50))
                                    .arg(random.bounded(3) ? "" : "/s");
            list->rowsAppend(CMPath::fromEncoded(row));
            model.append(row);
        } else if (dice < 9) {
            const int index = int(random.bounded(model.size() + 2)) - 1; // out of range too
            list->rowsRemoveAt(index);
            if (index >= 0 && index < model.size())
                model.removeAt(index);
        } else {
            const QString prefix = QStringLiteral("/x/%1").arg(random.bounded(50));
            list->rowsRemoveStartingWithPath(CMPath::fromEncoded(prefix));
            model.erase(std::remove_if(model.begin(), model.end(),
                                       [&](const QVariant &row) {
                                           return (row.toString() + '/').startsWith(prefix + '/');
                                       }),
                        model.end());
        }
        QCOMPARE(announced.size(), model == before ? 0 : 1);
        if (op % reads == 0)
            QCOMPARE(list->rows(), model);
    }
    QCOMPARE(list->rows(), model);
    QCOMPARE(list->data().value(QStringLiteral("rows")).toList(), model);
}

void TestHostStandIn::prefixComesFromConfiguration()
{
    QCOMPARE(TestWorker().addPrefix(QString()).toEncoded(), QStringLiteral("/TestWorker"));
    const TestWorker configured(
        {{QString::fromLatin1(kWorkerPrefixKey), QStringLiteral("/dev/s")}});
    QCOMPARE(configured.addPrefix(QString()).toEncoded(), QStringLiteral("/dev/s"));
    QCOMPARE(configured.addPrefix(QStringLiteral("n")).toEncoded(), QStringLiteral("/dev/s/n"));
}

void TestHostStandIn::nodeAtTakenPathDoesNotFreeTheFirst()
{
    TestWorker worker;
    CMUINode *first = CMUINode::create(worker.nodes(), path("/w/n"));
    first->setTitle(TrString(QStringLiteral("first")));
    QTest::ignoreMessage(QtWarningMsg, "CMNodes: a node is created at /w/n, which holds a node "
                                       "already; the new one shadows it");
    CMLinkRowsNode *second = CMLinkRowsNode::create(worker.nodes(), path("/w/n"), path("/t"));
    second->setTitle(TrString(QStringLiteral("second")));
    QCOMPARE(worker.nodes()->size(), 2);
    QCOMPARE(worker.nodes()->node(path("/w/n")), second);

    second->dispose();
    QCOMPARE(worker.nodes()->size(), 1);
    QCOMPARE(worker.nodes()->node(path("/w/n")), first);
    // Still alive and usable (AddressSanitizer would object otherwise).
    first->setIcon(QStringLiteral("i"));
    QCOMPARE(worker.getDataRequest(path("/w/n")).value(QStringLiteral("title")).toString(),
             QStringLiteral("first"));
    first->dispose();
    QVERIFY(worker.getDataRequest(path("/w/n")).isEmpty());
}

void TestHostStandIn::requestsAnswerWhatWasPublished()
{
    TestWorker worker;
    CMListRowsNode *list = CMListRowsNode::create(worker.nodes(), path("/w"));
    CMLinkRowsNode *link = CMLinkRowsNode::create(worker.nodes(), path("/w/l"), path("/w"));
    link->setTitle(TrString(QStringLiteral("L1")));
    link->setId(QStringLiteral("id"));
    link->setPlayable(true);
    list->rowsAppend(link->path());

    const QVariantHash data = worker.request(QStringLiteral("data"), path("/w/l")).toHash();
    QCOMPARE(data, (QVariantHash{{"path", "/w/l"},
                                 {"kind", "link"},
                                 {"title", "L1"},
                                 {"description", ""},
                                 {"id", "id"},
                                 {"icon", ""},
                                 {"playable", true},
                                 {"target", "/w"}}));
    // A link's rows are its target's. Only requests made while tracing are logged.
    LogCapture log("orva.host");
    worker.trace(true);
    QCOMPARE(worker.request(QStringLiteral("rows"), path("/w/l")).toList(),
             (QVariantList{QStringLiteral("/w/l")}));
    worker.trace(false);
    QCOMPARE(log.lines(), QStringList{"DEBUG request rows /w/l"});
    QCOMPARE(worker.request(QStringLiteral("match"), path("/w"), QStringLiteral("/w/l")).toInt(),
             0);
    QCOMPARE(worker.request(QStringLiteral("match"), path("/w"), QStringLiteral("/nope")).toInt(),
             -1);
    QVERIFY(worker.request(QStringLiteral("ping"), CMPath()).toBool());
    QVERIFY(!worker.request(QStringLiteral("bogus"), CMPath()).isValid());

    QVERIFY(!worker.setDataRequest(path("/w/l"), {{QStringLiteral("colour"), 1}}));
    QVERIFY(
        !worker.setDataRequest(path("/none"), {{QStringLiteral("title"), QStringLiteral("t")}}));
    // A plain UI node has every key a link has, and is never playable.
    const QVariantHash ui = CMUINode::create(worker.nodes(), path("/w/u"))->data();
    QCOMPARE(QStringList(ui.keys()).size(), data.size() - 1); // no target
    QCOMPARE(ui.value(QStringLiteral("playable")), QVariant(false));
}

void TestHostStandIn::setDataRequestChangesEachKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    for (const char *key : {"title", "description", "id", "icon"})
        QTest::newRow(key) << QString::fromLatin1(key) << QVariant(QStringLiteral("v"));
    QTest::newRow("playable") << QStringLiteral("playable") << QVariant(true);
}

// Each key a host may set is stored, read back, and announced to subscribers.
void TestHostStandIn::setDataRequestChangesEachKey()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    TestWorker worker;
    CMLinkRowsNode::create(worker.nodes(), path("/w/l"), path("/w"));
    int changes = 0;
    const int id = worker.connectDataChange(path("/w/l"), [&](const CMPath &) { ++changes; });
    QVERIFY(worker.setDataRequest(path("/w/l"), {{key, value}}));
    QCOMPARE(worker.getDataRequest(path("/w/l")).value(key), value);
    QCOMPARE(changes, 1);
    QVERIFY(worker.disconnectDataChange(id));
}

void TestHostStandIn::subscriptionsSeeChanges()
{
    TestWorker worker;
    QStringList seen;
    const auto record = [&seen](const char *tag) {
        return [&seen, tag](const CMPath &p) { seen << QLatin1String(tag) + p.toEncoded(); };
    };
    const int any = worker.connectChange(path("/w"), record("any:"));
    const int rows = worker.connectRowsChange(path("/w"), record("rows:"));
    const int value = worker.connectValueChange(path("/w/a"), record("value:"));
    QCOMPARE(worker.connectChange(path("/w"), nullptr), 0); // no handler, no subscription
    QSignalSpy spy(worker.nodes(), &CMNodes::changed);

    CMListRowsNode *list = CMListRowsNode::create(worker.nodes(), path("/w"));
    CMUINode *a = CMUINode::create(worker.nodes(), path("/w/a"));
    CMUINode::create(worker.nodes(), path("/w-other"));
    list->rowsAppend(a->path());
    a->dispose();
    QCOMPARE(seen, (QStringList{"any:/w", "any:/w/a", "value:/w/a", "any:/w", "rows:/w", "any:/w/a",
                                "value:/w/a"}));
    QCOMPARE(spy.count(), 5);

    QVERIFY(worker.disconnectChange(any));
    QVERIFY(!worker.disconnectChange(any));
    QVERIFY(!worker.disconnectDataChange(rows)); // wrong kind
    QVERIFY(worker.disconnectRowsChange(rows));
    QVERIFY(worker.disconnectValueChange(value));
    QVERIFY(!worker.disconnectValueChange(value));
    seen.clear();
    list->rowsAppend(path("/w/b"));
    QVERIFY(seen.isEmpty());
}

void TestHostStandIn::signatureHelpers()
{
    QCOMPARE(QByteArray(trExtractContext("void A::B::f(int)")), QByteArray("A::B"));
    QCOMPARE(QByteArray(trExtractContext("int g()")), QByteArray());
    QCOMPARE(dbglog_scopedFunction("QString *A::f()", "X"), std::string("A::f"));

    const TrString text(TrCharData{trExtractContext("A::f()"), "Hi %1", nullptr, -1},
                        {TrArg{QStringLiteral("there")}});
    QVERIFY(text.isTranslatable());
    QCOMPARE(text.context(), QByteArray("A"));
    QCOMPARE(text.toString(), QStringLiteral("Hi there"));
}

void TestHostStandIn::failedCreationSaysWhy_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("error");
    QTest::newRow("throws") << ORVA_FAILING_throwing << "worker_create failed: no storage here";
    QTest::newRow("no worker") << ORVA_FAILING_none
                               << "worker_create in " ORVA_FAILING_none " returned no worker";
}

void TestHostStandIn::failedCreationSaysWhy()
{
    QFETCH(QString, plugin);
    QFETCH(QString, error);
    {
        // A failure takes the earlier worker with it; a success, the error.
        CMWorkerPlugin loader(plugin);
        QVERIFY(loader.createWorker({{"works", true}}));
        QVERIFY(!loader.createWorker({}));
        QCOMPARE(loader.errorString(), error);
        QVERIFY(!loader.worker());
        QVERIFY(loader.createWorker({{"works", true}}));
        QCOMPARE(loader.errorString(), QString());
    }
    // The module goes with its loader.
    QVERIFY(!::dlopen(QFile::encodeName(plugin).constData(), RTLD_LAZY | RTLD_NOLOAD));
}

QTEST_GUILESS_MAIN(TestHostStandIn)
#include "tst_hoststandin.moc"
