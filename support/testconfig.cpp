// SPDX-License-Identifier: MIT
#include "testconfig.h"

QVariantList prefixItems(const QStringList &pairs)
{
    QList<PrefixRecord> records;
    for (const QString &pair : pairs) {
        const int colon = pair.indexOf(QLatin1Char(':'));
        records.append({pair.left(colon), pair.mid(colon + 1)});
    }
    return prefixItems(records);
}

QVariantHash makeConfig(const QString &watchPath, const QStringList &linkPrefixes,
                        const QStringList &notifPrefixes, const QString &linkPrefix)
{
    return {{QStringLiteral("watchPath"), watchPath},
            {QStringLiteral("linkPrefix"), linkPrefix},
            {QStringLiteral("watchPrefixes"), prefixItems(linkPrefixes)},
            {QStringLiteral("watchNotifications"), prefixItems(notifPrefixes)}};
}
