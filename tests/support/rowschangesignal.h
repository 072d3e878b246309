// SPDX-License-Identifier: MIT
// A worker's rows-change subscription, the one a host follows a list by,
// turned into a Qt signal so that a test can hold a QSignalSpy on it.
#pragma once

#include <orva/cmworker.h>

#include <QObject>
#include <QPointer>

class RowsChangeSignal : public QObject
{
    Q_OBJECT
public:
    RowsChangeSignal(CMAbstractWorker *worker, const QString &path);
    // Unsubscribes unless the worker went first, taking the subscription along.
    ~RowsChangeSignal() override;

Q_SIGNALS:
    void rowsChanged(const QString &path);

private:
    QPointer<CMAbstractWorker> m_worker;
    int m_id;
};
