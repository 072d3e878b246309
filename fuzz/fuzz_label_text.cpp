// Arbitrary bytes as the label file of a new entry, read by a real worker's
// first scan: the link must appear, titled and with a description that holds
// no zero character.
#include "cmstoragelinkworker.h"
#include "fuzzfixture.h"

#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QString kEntry = QStringLiteral("usb-sda1");

QVariantHash config()
{
    return {{QStringLiteral("watchPath"), FuzzFixture::directory()},
            {QStringLiteral("linkPrefix"), QStringLiteral("/media/")},
            {QStringLiteral("watchPrefixes"),
             QVariantList{QStringList{QStringLiteral("usb-"), QStringLiteral("Disk")}}}};
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzFixture::setUp({kEntry});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeLabel(data, size);
    const std::unique_ptr<CMStorageLinkWorker> worker(new CMStorageLinkWorker(config()));

    const QList<const CMNode *> links = FuzzFixture::links(worker.get());
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
    FuzzFixture::checkRowsResolve(worker.get());
    return 0;
}
