// SPDX-License-Identifier: MIT
#include "workerconfig.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString kWatchPath = QStringLiteral("watchPath");
const QString kLinkPrefix = QStringLiteral("linkPrefix");
const QString kWatchPrefixes = QStringLiteral("watchPrefixes");
const QString kWatchNotifications = QStringLiteral("watchNotifications");

void appendItems(QVariantHash &config, const QString &key, const QList<PrefixRecord> &records)
{
    if (records.isEmpty())
        return;
    config.insert(key, config.value(key).toList() + prefixItems(records));
}

// 1-based line and column of a byte offset, for error messages.
QString position(const QByteArray &text, int offset)
{
    const QByteArray before = text.left(offset);
    const int line = before.count('\n') + 1;
    const int column = offset - (before.lastIndexOf('\n') + 1) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

} // namespace

namespace workerconfig {

QVariantHash builtin(const QString &watchPath)
{
    const QList<PrefixRecord> records{{QStringLiteral("usb-"), QStringLiteral("USB")},
                                      {QStringLiteral("mmc-"), QStringLiteral("Card")}};
    return {{kWatchPath, watchPath},
            {kLinkPrefix, QStringLiteral("/media/")},
            {kWatchPrefixes, prefixItems(records)},
            {kWatchNotifications, prefixItems(records)}};
}

QVariantHash demo(const QString &watchPath)
{
    QVariantHash config = builtin(watchPath);
    appendItems(config, kWatchNotifications, {{QStringLiteral("new-"), QStringLiteral("New")}});
    return config;
}

bool readFile(const QString &path, QVariantHash &config, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read config file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.readAll();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // Qt reports the offset just past the character it stumbled on.
        const int offset = qMax(0, parseError.offset - 1);
        error = QStringLiteral("config file %1: invalid JSON at %2: %3")
                    .arg(path, position(text, offset), parseError.errorString());
        return false;
    }
    if (!document.isObject()) {
        error = QStringLiteral("config file %1: expected a JSON object").arg(path);
        return false;
    }
    config = document.object().toVariantHash();
    return true;
}

void applyOverrides(QVariantHash &config, const ConfigOverrides &overrides)
{
    if (overrides.hasWatchPath)
        config.insert(kWatchPath, overrides.watchPath);
    if (overrides.hasLinkPrefix)
        config.insert(kLinkPrefix, overrides.linkPrefix);
    appendItems(config, kWatchPrefixes, overrides.linkPrefixes);
    appendItems(config, kWatchNotifications, overrides.notifPrefixes);
}

} // namespace workerconfig
