// SPDX-License-Identifier: MIT
#include "treechangecoalescer.h"

#include <orva/cmnodes.h>

#include <QTimer>

TreeChangeCoalescer::TreeChangeCoalescer(CMNodes *nodes, QObject *parent) : QObject(parent)
{
    connect(nodes, &CMNodes::changed, this, &TreeChangeCoalescer::noteChange);
}

void TreeChangeCoalescer::noteChange()
{
    if (m_pending)
        return;
    m_pending = true;
    // Runs once control is back in the event loop, after the whole rescan.
    QTimer::singleShot(0, this, &TreeChangeCoalescer::flush);
}

void TreeChangeCoalescer::flush()
{
    m_pending = false;
    emit treeChanged();
}
