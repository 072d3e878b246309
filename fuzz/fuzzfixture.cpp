// SPDX-License-Identifier: MIT
#include "fuzzfixture.h"

#include "logtap.h"
#include "workertree.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <log4cplus/nullappender.h>

#include <cstdio>
#include <cstdlib>

namespace {

QString g_directory;
// Never taken down: like the application object, it serves every input
// until the process ends.
const LogTap *g_sink = nullptr;

} // namespace

void FuzzFixture::setUp(const QStringList &entries)
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // lives as long as the process

    static QTemporaryDir scratch;
    if (!scratch.isValid()) {
        std::fprintf(stderr, "cannot create a scratch directory\n");
        std::abort();
    }
    g_directory = QDir(scratch.path()).canonicalPath();
    for (const QString &entry : entries)
        QDir(g_directory).mkpath(entry);
    g_sink = new LogTap("CB_StorageLink", log4cplus::TRACE_LOG_LEVEL,
                        log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
}

const QString &FuzzFixture::directory()
{
    return g_directory;
}

void FuzzFixture::checkRowsResolve(CMAbstractWorker *worker)
{
    const QStringList unresolved =
        WorkerTree(static_cast<CMNodesWorker *>(worker)).unresolvedRows();
    if (unresolved.isEmpty())
        return;
    std::fprintf(stderr, "row without a node: %s\n", qPrintable(unresolved.first()));
    std::abort();
}
