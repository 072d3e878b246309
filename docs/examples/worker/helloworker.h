// SPDX-License-Identifier: MIT
// A minimal worker: a list node with one row, whose description a slot sets
// from the event loop, so that loading it shows the headers, the meta-object
// code that moc made from them and the installed library working together.
#pragma once

#include <orva/cmworker.h>

#include <QTimer>

class HelloWorker : public CMNodesWorker
{
    Q_OBJECT
public:
    explicit HelloWorker(const QVariantHash &config);

private Q_SLOTS:
    void greet();

private:
    CMListRowsNode *m_list = nullptr;
    CMUINode *m_hello = nullptr;
    QTimer m_timer;
};
