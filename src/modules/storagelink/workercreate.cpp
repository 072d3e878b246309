// SPDX-License-Identifier: MIT
#include "cmstoragelinkworker.h"

// The plug-in's entry point, found by name by the host's loader.
extern "C" __attribute__((visibility("default"))) CMAbstractWorker *
worker_create(void * /*host*/, const QVariantHash &config)
{
    return new CMStorageLinkWorker(config);
}
