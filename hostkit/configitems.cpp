// SPDX-License-Identifier: MIT
#include "configitems.h"

QVariantList prefixItems(const QList<PrefixRecord> &records)
{
    QVariantList items;
    for (const PrefixRecord &record : records)
        items.append(QStringList{record.first, record.second});
    return items;
}
