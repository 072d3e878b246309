// SPDX-License-Identifier: MIT
// Arbitrary bytes as the label file of a new entry, read by a real worker's
// rescan: the link must appear, titled and with a description that holds no
// zero character. One worker serves every input (closing a watcher's inotify
// instance costs milliseconds); each input takes the entry away, rescans,
// writes the label, brings the entry back and rescans again, the rescans
// invoked through the worker's meta-object as the watcher's signal would.
#include "cmstoragelinkworker.h"
#include "fuzzfixture.h"
#include "testconfig.h"
#include "workertree.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QString kEntry = QStringLiteral("usb-sda1");

QVariantHash config()
{
    return makeConfig(FuzzFixture::directory(), {QStringLiteral("usb-:Disk")});
}

void writeLabel(const uint8_t *data, size_t size)
{
    QFile label(FuzzFixture::directory() + QLatin1Char('/') + kEntry + QLatin1String(".label"));
    if (!label.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        label.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size)) {
        std::fprintf(stderr, "cannot write the label file\n");
        std::abort();
    }
}

CMStorageLinkWorker *g_worker = nullptr;

void rescan()
{
    if (!QMetaObject::invokeMethod(g_worker, "dirChanged", Qt::DirectConnection,
                                   Q_ARG(QString, FuzzFixture::directory())))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzFixture::setUp({});
    g_worker = new CMStorageLinkWorker(config()); // lives as long as the process
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QDir scratch(FuzzFixture::directory());
    scratch.rmdir(kEntry);
    rescan();
    writeLabel(data, size);
    if (!scratch.mkdir(kEntry))
        std::abort();
    rescan();

    CMStorageLinkWorker *worker = g_worker;
    const QList<const CMNode *> links = WorkerTree(worker).links();
    if (links.size() != 1) {
        std::fprintf(stderr, "%d links for one entry\n", links.size());
        std::abort();
    }
    const QVariantHash attributes =
        worker->request(QStringLiteral("data"), links.first()->path()).toHash();
    const QString description = attributes.value(QStringLiteral("description")).toString();
    if (attributes.value(QStringLiteral("title")).toString() != QLatin1String("Disk1") ||
        description.contains(QChar(0))) {
        std::fprintf(stderr, "bad link: title %s\n",
                     qPrintable(attributes.value(QStringLiteral("title")).toString()));
        std::abort();
    }
    FuzzFixture::checkRowsResolve(worker);
    return 0;
}
