// SPDX-License-Identifier: MIT
#include "pluginworker.h"

QString PluginWorker::builtPluginPath()
{
    return QStringLiteral(ORVA_PLUGIN_PATH);
}

PluginWorker::PluginWorker(const QString &path) : CMWorkerPlugin(path) {}

CMAbstractWorker *PluginWorker::create(const QVariantHash &config)
{
    return createWorker(config) ? CMWorkerPlugin::worker() : nullptr;
}
