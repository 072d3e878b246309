// SPDX-License-Identifier: MIT
// The configuration hash a host hands to worker_create, built as the host
// builds it.
#pragma once

#include <QList>
#include <QPair>
#include <QStringList>
#include <QVariantHash>
#include <QVariantList>

using PrefixRecord = QPair<QString, QString>; // prefix, display name

// Items as the host passes them: a list of [prefix, name] lists.
QVariantList prefixItems(const QList<PrefixRecord> &records);
// The same from "prefix:Name" strings; an item without a colon gives the
// whole text as both prefix and name.
QVariantList prefixItems(const QStringList &pairs);

// A config hash for a watched directory and prefix lists given as "pfx:Name".
QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes = {},
                        const QString &linkPrefix = QStringLiteral("/media/"));
