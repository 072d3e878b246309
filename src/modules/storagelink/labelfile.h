// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The first line of the label file that may lie beside an entry of the watched
// directory. Only a regular file inside that directory is read, without ever
// blocking and no more of it than a label can hold. Logs nothing: the rescan
// reports what it finds.
class LabelFile
{
public:
    enum Status
    {
        Missing,    // nothing at the path
        Unreadable, // something there, but not a regular file inside dir that may be read
        Read
    };

    // The label of entry name in dir: dir + "/" + name + ".label", unnormalised.
    LabelFile(const QString &dir, const QString &name);

    const QString &path() const { return m_path; }
    // On Read, line holds the first line, decoded as a text stream decodes it.
    Status readFirstLine(QString &line) const;

private:
    QString m_dir;
    QString m_name;
    QString m_path;
};
