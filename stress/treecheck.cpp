// SPDX-License-Identifier: MIT
#include "treecheck.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

TreeCheck::TreeCheck(const PluginWorker &host, const QString &directory,
                     const QList<Record> &records, const QString &listPath)
    : m_host(host), m_directory(directory), m_records(records), m_listPath(listPath)
{
}

int TreeCheck::recordOf(const QString &name) const
{
    for (int i = 0; i < m_records.size(); ++i)
        if (name.startsWith(m_records.at(i).first))
            return i;
    return -1;
}

QStringList TreeCheck::expectedNames() const
{
    // Read straight from the directory: subdirectories and links to them,
    // not hidden, not named like a label, matching a record.
    QStringList names;
    const QFileInfoList entries =
        QDir(m_directory)
            .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (entry.isDir() && !name.startsWith(QLatin1Char('.')) &&
            !name.endsWith(QLatin1String(".label")) && recordOf(name) >= 0)
            names.append(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QStringList TreeCheck::titles() const
{
    QStringList result = m_host.tree().linkTitles();
    std::sort(result.begin(), result.end());
    return result;
}

int TreeCheck::divergence()
{
    m_problems.clear();
    const QStringList expected = expectedNames();
    const QStringList paths = m_host.tree().linkPaths();
    compareLinks(expected, paths);
    compareRows(expected);
    checkTitlesUnique(paths);
    return m_problems.size();
}

void TreeCheck::compareLinks(const QStringList &expected, const QStringList &paths)
{
    for (const QString &name : expected) {
        const int count = paths.count(m_listPath + QLatin1Char('/') + name);
        if (count != 1)
            problem(QStringLiteral("%1 link nodes for %2").arg(count).arg(name));
    }
    const QSet<QString> wanted(expected.begin(), expected.end());
    for (const QString &path : paths)
        if (!wanted.contains(path.mid(m_listPath.size() + 1)))
            problem(QStringLiteral("link node without an entry: %1").arg(path));
}

void TreeCheck::compareRows(const QStringList &expected)
{
    const WorkerTree tree = m_host.tree();
    for (const QString &row : tree.unresolvedRows())
        problem(QStringLiteral("row without a node: %1").arg(row));
    QStringList rows = tree.rows(m_listPath);
    rows.removeAll(notificationPath());
    for (const QString &name : expected) {
        const int count = rows.count(m_listPath + QLatin1Char('/') + name);
        if (count != 1)
            problem(QStringLiteral("%1 rows for %2").arg(count).arg(name));
    }
    if (rows.size() > expected.size())
        problem(QStringLiteral("%1 rows for %2 entries").arg(rows.size()).arg(expected.size()));
}

void TreeCheck::checkTitlesUnique(const QStringList &paths)
{
    QVector<QSet<QString>> seen(m_records.size());
    for (const QString &path : paths) {
        const int record = recordOf(path.mid(m_listPath.size() + 1));
        const QString title = m_host.tree().data(path).value(QStringLiteral("title")).toString();
        if (record < 0)
            continue;
        if (seen[record].contains(title))
            problem(
                QStringLiteral("title %1 twice under %2").arg(title, m_records.at(record).first));
        seen[record].insert(title);
    }
}
