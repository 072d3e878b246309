// SPDX-License-Identifier: MIT
#include "rowschangesignal.h"

RowsChangeSignal::RowsChangeSignal(CMAbstractWorker *worker, const QString &path)
    : m_worker(worker),
      m_id(worker->connectRowsChange(CMPath::fromEncoded(path), [this](const CMPath &changed) {
          Q_EMIT rowsChanged(changed.toEncoded());
      }))
{
}

RowsChangeSignal::~RowsChangeSignal()
{
    if (m_worker)
        m_worker->disconnectRowsChange(m_id);
}
