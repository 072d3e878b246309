// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QString>
#include <QVariantList>

#include <vector>

// The rows of the list as they stood when the removal phase began, indexed by
// content, and the rows removed since. Finds the row of a vanished link, and
// the index it has in the list as it now stands, in O(log n): scanning the
// rows per vanished link made a rescan that finds every entry gone quadratic.
class RowIndex
{
public:
    explicit RowIndex(const QVariantList &rows);

    // The index, in the rows as they now stand, of the first row equal to a
    // QVariant holding encoded, which the caller then removes; -1 when there
    // is none. A rescan removes at most one row per name, so encoded is not
    // asked for again.
    int take(const QString &encoded);

private:
    int removedBefore(int position) const;

    QHash<QString, int> m_firstPosition;
    std::vector<int> m_removed; // Fenwick tree over the positions, 1 where a row went
};
