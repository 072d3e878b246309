// SPDX-License-Identifier: MIT
// A worker's node tree read as a host reads it: through the worker's request
// handlers, with the checks the test suites, stress tools and fuzz targets
// make of it.
#pragma once

#include <orva/cmworker.h>

#include <QList>
#include <QStringList>
#include <QVariantHash>

class WorkerTree
{
public:
    explicit WorkerTree(CMNodesWorker *worker) : m_worker(worker) {}

    QVariantHash data(const QString &path) const;
    QStringList rows(const QString &path) const;
    // The live link nodes, sorted by path; their paths and titles in that order.
    QList<const CMNode *> links() const;
    QStringList linkPaths() const;
    QStringList linkTitles() const;
    // Rows of any list node that name no live node: a host reading such a
    // row finds nothing. Empty when the tree holds together.
    QStringList unresolvedRows() const;

private:
    CMNodesWorker *m_worker;
};
