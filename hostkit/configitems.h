// SPDX-License-Identifier: MIT
// The prefix lists of the configuration hash a host hands to worker_create,
// built as the host builds them.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantList>

using PrefixRecord = QPair<QString, QString>; // prefix, display name

// Items as the host passes them: a list of [prefix, name] lists.
QVariantList prefixItems(const QList<PrefixRecord> &records);
