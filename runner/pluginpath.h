// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The plug-in built or installed beside the running executable.
QString defaultPluginPath();
