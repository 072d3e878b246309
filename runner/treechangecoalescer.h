// SPDX-License-Identifier: MIT
// Turns the registry's per-change signals into one treeChanged() per
// event-loop turn, however many changes that turn made.
#pragma once

#include <QObject>

class CMNodes;

class TreeChangeCoalescer : public QObject
{
    Q_OBJECT
public:
    explicit TreeChangeCoalescer(CMNodes *nodes, QObject *parent = nullptr);

signals:
    void treeChanged();

private:
    void noteChange();
    void flush();

    bool m_pending = false;
};
