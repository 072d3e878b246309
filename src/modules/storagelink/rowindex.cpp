// SPDX-License-Identifier: MIT
#include "rowindex.h"

RowIndex::RowIndex(const QVariantList &rows) : m_removed(size_t(rows.size()) + 1, 0)
{
    m_firstPosition.reserve(rows.size());
    // Rows are the encoded paths, as QString; the first equal one counts.
    for (int i = rows.size() - 1; i >= 0; --i)
        m_firstPosition.insert(rows.at(i).toString(), i);
}

int RowIndex::take(const QString &encoded)
{
    const auto it = m_firstPosition.find(encoded);
    if (it == m_firstPosition.end())
        return -1;
    const int position = *it;
    const int index = position - removedBefore(position);
    for (size_t i = size_t(position) + 1; i < m_removed.size(); i += i & (~i + 1))
        m_removed[i] += 1;
    m_firstPosition.erase(it); // erase() never rehashes
    return index;
}

int RowIndex::removedBefore(int position) const
{
    int count = 0;
    for (size_t i = size_t(position); i > 0; i -= i & (~i + 1))
        count += m_removed[i];
    return count;
}
