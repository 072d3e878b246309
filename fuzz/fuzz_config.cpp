// SPDX-License-Identifier: MIT
// Arbitrary JSON as the configuration a host hands to worker_create. A JSON
// object is the hash itself; any other document becomes the watchPrefixes of
// a worker watching the scratch directory, which is also the working
// directory, so that relative watch paths find entries.
#include "fuzzfixture.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <sanitizer/lsan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" CMAbstractWorker *worker_create(void *host, const QVariantHash &config);

namespace {

// Qt's JSON parser leaks on some malformed documents (a key repeated with a
// container for its value); it only turns fuzz input into a configuration
// and is no part of the plug-in. Its allocations are kept out of the leak
// check here, so that no suppression has to find its frame in a full stack
// trace of every allocation.
QJsonDocument parse(const uint8_t *data, size_t size)
{
    __lsan_disable();
    QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    __lsan_enable();
    return document;
}

QVariantHash configFrom(const uint8_t *data, size_t size)
{
    const QJsonDocument document = parse(data, size);
    if (document.isObject())
        return document.object().toVariantHash();
    return {{QStringLiteral("watchPath"), QStringLiteral(".")},
            {QStringLiteral("watchPrefixes"), document.toVariant()},
            {QStringLiteral("watchNotifications"), document.toVariant()}};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzFixture::setUp({QStringLiteral("usb-sda1"), QStringLiteral("usb-sdb"),
                        QStringLiteral("mmc-card-0"), QStringLiteral("sda"),
                        QStringLiteral("usb-x.label"), QStringLiteral(".hidden"),
                        QStringLiteral("other")});
    if (!QDir::setCurrent(FuzzFixture::directory()))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::unique_ptr<CMAbstractWorker> worker(worker_create(nullptr, configFrom(data, size)));
    if (!worker) {
        std::fprintf(stderr, "worker_create gave no worker\n");
        std::abort();
    }
    FuzzFixture::checkRowsResolve(worker.get());
    return 0;
}
