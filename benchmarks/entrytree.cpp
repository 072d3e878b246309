// SPDX-License-Identifier: MIT
#include "entrytree.h"

#include <QFile>

#include <sys/stat.h>

EntryTree::EntryTree(int count, bool labels) : m_count(count)
{
    for (int i = 0; i < count; ++i)
        makeEntry(i, labels && i % 3 == 0);
}

QString EntryTree::entryName(int index)
{
    const QString number = QStringLiteral("%1").arg(index, 5, 10, QLatin1Char('0'));
    return (index % 2 == 0 ? QStringLiteral("usb-sd") : QStringLiteral("disk-")) + number;
}

void EntryTree::linkLabelsTo(const QByteArray &content)
{
    QFile shared(m_dir.path() + QStringLiteral("/shared-label.txt"));
    if (shared.open(QIODevice::WriteOnly))
        shared.write(content);
    for (int i = 0; i < m_count; i += 2) {
        const QString label = m_dir.path() + QLatin1Char('/') + entryName(i) + ".label";
        QFile::remove(label);
        QFile::link(QStringLiteral("shared-label.txt"), label);
    }
}

void EntryTree::makeEntry(int index, bool label)
{
    const QString entry = m_dir.path() + QLatin1Char('/') + entryName(index);
    ::mkdir(QFile::encodeName(entry).constData(), 0755);
    if (!label)
        return;
    QFile file(entry + QStringLiteral(".label"));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArrayLiteral("Stick\\x20") + QByteArray::number(index) + '\n');
}
