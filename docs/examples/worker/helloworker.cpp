// SPDX-License-Identifier: MIT
#include "helloworker.h"

#include <orva/orvaglobal.h>

HelloWorker::HelloWorker(const QVariantHash &config)
    : CMNodesWorker(config, QStringLiteral("HelloWorker"))
{
    m_list = CMListRowsNode::create(nodes(), addPrefix(QString()));
    m_list->setTitle(TrString(QStringLiteral("Out-of-tree worker")));
    m_hello = CMUINode::create(nodes(), addPrefix(QStringLiteral("hello")));
    m_hello->setTitle(TrString(QStringLiteral("Hello")));
    m_list->rowsAppend(m_hello->path());
    m_timer.setSingleShot(true);
    orvaConnect(&m_timer, SIGNAL(timeout()), this, SLOT(greet()));
    m_timer.start(0);
}

void HelloWorker::greet()
{
    m_hello->setDescription(TrString(QStringLiteral("greeted from the event loop")));
}

extern "C" __attribute__((visibility("default"))) CMAbstractWorker *
worker_create(void * /*host*/, const QVariantHash &config)
{
    return new HelloWorker(config);
}
