// SPDX-License-Identifier: MIT
// The configuration hash handed to worker_create.
#pragma once

#include "runneroptions.h"

#include <QString>
#include <QVariantHash>

class WorkerConfig
{
public:
    // The example set-up: usb- as USB and mmc- as Card, notifications for both.
    static QVariantHash builtin(const QString &watchPath);
    // Reads a file holding one JSON object. On failure error is a one-line
    // message naming the file and, for bad JSON, where it breaks.
    static bool readFile(const QString &path, QVariantHash &config, QString &error);
    // Flags replace watchPath and linkPrefix and append to the prefix lists.
    static void applyOverrides(QVariantHash &config, const ConfigOverrides &overrides);
};
