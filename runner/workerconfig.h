// SPDX-License-Identifier: MIT
// The configuration hash handed to worker_create.
#pragma once

#include "runneroptions.h"

#include <QString>
#include <QVariantHash>

namespace workerconfig {

// The example set-up: usb- as USB and mmc- as Card, notifications for both.
QVariantHash builtin(const QString &watchPath);
// The demo's: the example, and new- as a notification prefix of its own, so
// that the notification row shows until a link takes its place.
QVariantHash demo(const QString &watchPath);
// Reads a file holding one JSON object. On failure error is a one-line
// message naming the file and, for bad JSON, where it breaks.
bool readFile(const QString &path, QVariantHash &config, QString &error);
// Flags replace watchPath and linkPrefix and append to the prefix lists.
void applyOverrides(QVariantHash &config, const ConfigOverrides &overrides);

} // namespace workerconfig
