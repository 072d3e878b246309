// SPDX-License-Identifier: MIT
// A worker held as the host holds it, its rescans run through the meta-object
// as the watcher's signal runs them.
#pragma once

#include <cmstoragelinkworker.h>

#include <QString>

#include <memory>

class RescanDriver
{
public:
    explicit RescanDriver(const QString &watchPath);
    ~RescanDriver();

    void rescan(const QString &dir);
    CMStorageLinkWorker *worker() const { return m_worker.get(); }
    CMPath listPath() const;

    // Turns the worker's log lines off, so that figures show no log work.
    static void silenceLogger();
    static QVariantHash config(const QString &watchPath);

private:
    std::unique_ptr<CMStorageLinkWorker> m_worker;
};
