// SPDX-License-Identifier: MIT
// The worker's node tree as the host reads it through its request handlers.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class CMAbstractWorker;
class CMNodes;

struct NodeView
{
    QString path;
    QString kind;
    QString title;
    QString id;
    QString description;
    QString icon;
    bool playable = false;
    QString target;   // links only
    QStringList rows; // lists only
};

// One view per node path, sorted by path: a request answers the newest node
// at a path, so that is all a host can see of it.
QVector<NodeView> readTree(CMAbstractWorker &worker, const CMNodes &nodes);
