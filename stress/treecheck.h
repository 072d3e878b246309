// SPDX-License-Identifier: MIT
// Compares what a host sees of the worker (its list rows and its live nodes)
// with the true state of the watched directory.
#pragma once

#include "pluginworker.h"
#include "testconfig.h"

#include <QStringList>

class TreeCheck
{
public:
    using Record = PrefixRecord;

    TreeCheck(const PluginWorker &host, const QString &directory, const QList<Record> &records,
              const QString &listPath);

    // Number of differences; each is described in problems().
    int divergence();
    const QStringList &problems() const { return m_problems; }
    // The entries of the directory that should have a link, sorted.
    QStringList expectedNames() const;
    // Titles of the live links, sorted.
    QStringList titles() const;
    QString notificationPath() const { return m_listPath + QStringLiteral("/notification"); }

private:
    int recordOf(const QString &name) const;
    void compareLinks(const QStringList &expected, const QStringList &linkPaths);
    void compareRows(const QStringList &expected);
    void checkTitlesUnique(const QStringList &linkPaths);
    void problem(const QString &text) { m_problems.append(text); }

    const PluginWorker &m_host;
    QString m_directory;
    QList<Record> m_records;
    QString m_listPath;
    QStringList m_problems;
};
