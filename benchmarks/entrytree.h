// SPDX-License-Identifier: MIT
// A watched directory laid out as an automounter leaves it.
#pragma once

#include <QString>
#include <QTemporaryDir>

// count subdirectories: the even ones named with the link prefix "usb-", the
// odd ones not; with labels, every third entry has a label file beside it.
class EntryTree
{
public:
    EntryTree(int count, bool labels);

    QString path() const { return m_dir.path(); }
    int count() const { return m_count; }
    static QString entryName(int index);
    // Gives every entry of the link prefix a label that is a link to one file
    // inside the directory holding content.
    void linkLabelsTo(const QByteArray &content);

private:
    void makeEntry(int index, bool label);

    QTemporaryDir m_dir;
    int m_count;
};
