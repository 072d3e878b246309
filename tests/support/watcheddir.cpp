#include "watcheddir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

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
    QDir(m_root).mkdir(subdirectory);
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
    const bool ok = m_plugin.create(makeConfig(m_path, linkPrefixes, notifPrefixes)) != nullptr;
    m_seen = rescans();
    return ok;
}

QStringList WatchedDir::rows() const
{
    return tree().rows(kListPath);
}

int WatchedDir::rescans() const
{
    int n = 0;
    for (const LogRecord &r : m_log.records())
        n += r.message.startsWith(QLatin1String("dirChanged: ")) ? 1 : 0;
    return n;
}

bool WatchedDir::settle()
{
    QElapsedTimer clock;
    clock.start();
    while (rescans() <= m_seen && clock.elapsed() < 10000)
        QTest::qWait(5);
    // Changes may arrive as several signals; wait until they stop.
    int last;
    do {
        last = rescans();
        QTest::qWait(60);
    } while (rescans() != last);
    const bool any = last > m_seen;
    m_seen = last;
    return any;
}
