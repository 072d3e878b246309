// SPDX-License-Identifier: MIT
// The configuration hash of a watched directory, for programs that drive the
// worker with a few prefixes of their own (tests, fuzz targets, stress tools,
// benchmarks). A host builds its hash from its own configuration instead.
#pragma once

#include "configitems.h"

#include <QString>
#include <QStringList>
#include <QVariantHash>
#include <QVariantList>

// Items from "prefix:Name" strings; an item without a colon gives the whole
// text as both prefix and name.
QVariantList prefixItems(const QStringList &pairs);

// A config hash for a watched directory and prefix lists given as "pfx:Name".
QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes = {},
                        const QString &linkPrefix = QStringLiteral("/media/"));
