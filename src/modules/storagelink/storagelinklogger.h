// SPDX-License-Identifier: MIT
#pragma once

#include <log4cplus/logger.h>

// The library's one logger, "CB_StorageLink", obtained when the library loads.
extern log4cplus::Logger storageLinkLogger;
