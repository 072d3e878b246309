// SPDX-License-Identifier: MIT
// What the fuzz targets that run a real worker share: an application object
// (the watcher needs an event dispatcher), the worker's logger switched fully
// on into a sink so that every log statement is composed, and a scratch
// directory.
#pragma once

#include <orva/cmworker.h>

#include <QString>
#include <QStringList>

class FuzzFixture
{
public:
    // Creates the application and the directory, holding one subdirectory
    // per name; call once, from LLVMFuzzerInitialize.
    static void setUp(const QStringList &entries);
    static const QString &directory();

    // Every row of every list node names a live node, as a host reading the
    // tree expects; aborts otherwise.
    static void checkRowsResolve(CMAbstractWorker *worker);
};
