// SPDX-License-Identifier: MIT
// A plug-in whose worker_create fails unless its configuration says "works":
// it throws, or (ORVA_RETURNS_NO_WORKER) returns no worker. The host must
// say which, and load no worker.
#include <orva/cmworker.h>

#include <stdexcept>

extern "C" Q_DECL_EXPORT CMAbstractWorker *worker_create(void *, const QVariantHash &config)
{
    if (config.contains(QStringLiteral("works")))
        return new CMNodesWorker(config, QStringLiteral("Works"));
#ifdef ORVA_RETURNS_NO_WORKER
    return nullptr;
#else
    throw std::runtime_error("no storage here");
#endif
}
