// SPDX-License-Identifier: MIT
#include "cmstoragelinkworker.h"

#include <QtGlobal>

// The plug-in's entry point, found by name by the host's loader; the only
// symbol the plug-in exports.
extern "C" Q_DECL_EXPORT CMAbstractWorker *worker_create(void * /*host*/,
                                                         const QVariantHash &config)
{
    return new CMStorageLinkWorker(config);
}
