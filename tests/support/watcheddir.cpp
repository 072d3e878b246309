// SPDX-License-Identifier: MIT
#include "watcheddir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

const QString kListPath = QStringLiteral("/CMStorageLinkWorker");
const QString kNotificationPath = kListPath + QStringLiteral("/notification");

QString linkPath(const QString &name)
{
    return kListPath + QLatin1Char('/') + name;
}

WatchedDir::WatchedDir() : m_root(QFileInfo(m_tmp.path()).canonicalFilePath()), m_path(m_root) {}

WatchedDir::WatchedDir(const QString &subdirectory)
    : m_root(QFileInfo(m_tmp.path()).canonicalFilePath()),
      m_path(m_root + QLatin1Char('/') + subdirectory)
{
    QDir(m_root).mkpath(subdirectory);
}

bool WatchedDir::mkdir(const QString &name) const
{
    return QDir(m_path).mkdir(name);
}

bool WatchedDir::rmdir(const QString &name) const
{
    return QDir(m_path).rmdir(name);
}

bool WatchedDir::writeFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool WatchedDir::start(const QStringList &linkPrefixes, const QStringList &notifPrefixes)
{
    return m_plugin.create(makeConfig(m_path, linkPrefixes, notifPrefixes)) != nullptr;
}

QStringList WatchedDir::rows() const
{
    return tree().rows(kListPath);
}
