// SPDX-License-Identifier: MIT
#include "storagelinklogger.h"

// A namespace-scope object: obtained at load, destroyed at unload.
log4cplus::Logger storageLinkLogger =
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("CB_StorageLink"));
