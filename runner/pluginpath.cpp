// SPDX-License-Identifier: MIT
#include "pluginpath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

QString defaultPluginPath()
{
    // The build tree mirrors the installed layout; the two differ only when
    // the install's library folder is not "lib".
    const QString relative = QStringLiteral(ORVA_PLUGIN_SUBDIR "/" ORVA_PLUGIN_FILE);
    const QDir bin(QCoreApplication::applicationDirPath());
    const QStringList candidates{
        bin.absoluteFilePath(QStringLiteral("../lib/") + relative),
        bin.absoluteFilePath(QStringLiteral("../" ORVA_INSTALL_LIBDIR "/") + relative)};
    for (const QString &candidate : candidates)
        if (QFileInfo::exists(candidate))
            return QDir::cleanPath(candidate);
    return QDir::cleanPath(candidates.first());
}
