// SPDX-License-Identifier: MIT
#include "fuzzfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <cstdio>
#include <cstdlib>

namespace {

QString g_directory;

void routeLogToSink()
{
    log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("CB_StorageLink"));
    logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    logger.setAdditivity(false);
    logger.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
}

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
    routeLogToSink();
}

const QString &FuzzFixture::directory()
{
    return g_directory;
}

void FuzzFixture::checkRowsResolve(CMAbstractWorker *worker)
{
    auto *nodesWorker = static_cast<CMNodesWorker *>(worker);
    for (const CMNode *node : nodesWorker->nodes()->allNodes()) {
        if (node->kind() != QLatin1String("list"))
            continue;
        const QVariantList rows = worker->request(QStringLiteral("rows"), node->path()).toList();
        for (const QVariant &row : rows) {
            if (worker->request(QStringLiteral("data"), CMPath::fromEncoded(row.toString()))
                    .toHash()
                    .isEmpty()) {
                std::fprintf(stderr, "row without a node: %s\n", qPrintable(row.toString()));
                std::abort();
            }
        }
    }
}

QList<const CMNode *> FuzzFixture::links(const CMNodesWorker *worker)
{
    QList<const CMNode *> result;
    for (const CMNode *node : worker->nodes()->allNodes())
        if (node->kind() == QLatin1String("link"))
            result.append(node);
    return result;
}
