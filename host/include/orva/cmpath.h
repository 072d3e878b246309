// SPDX-License-Identifier: MIT
// Paths of the host's node tree.
//
// Encoding: a CMPath is the text of its encoded form, kept verbatim. Components
// are separated by "/", an absolute path starts with "/", and nothing is escaped
// or normalised: fromEncoded(s).toEncoded() == s for every string s, and the
// empty string is the empty (null) path. operator+ appends text, so building
// parent + "/" + name gives the path of a child. A path p lies below q when p
// equals q or starts with q followed by "/".
#pragma once

#include <orva/orva_api_export.h>

#include <QHash>
#include <QMetaType>
#include <QString>

#include <iosfwd>

class ORVA_API_EXPORT CMPath
{
public:
    CMPath() = default;

    static CMPath fromEncoded(const QString &encoded);
    const QString &toEncoded() const { return m_encoded; }

    bool isEmpty() const { return m_encoded.isEmpty(); }
    // True when this path equals other or lies below it, by whole components.
    bool startsWith(const CMPath &other) const;

    CMPath operator+(const QString &text) const;
    CMPath &operator+=(const QString &text);

    friend bool operator==(const CMPath &a, const CMPath &b) { return a.m_encoded == b.m_encoded; }
    friend bool operator!=(const CMPath &a, const CMPath &b) { return a.m_encoded != b.m_encoded; }
    friend bool operator<(const CMPath &a, const CMPath &b) { return a.m_encoded < b.m_encoded; }

private:
    explicit CMPath(const QString &encoded) : m_encoded(encoded) {}
    QString m_encoded;
};

inline uint qHash(const CMPath &path, uint seed = 0)
{
    return qHash(path.toEncoded(), seed);
}

Q_DECLARE_METATYPE(CMPath)

// Text put into log lines: QString as UTF-8, CMPath as its encoded form.
ORVA_API_EXPORT std::ostream &operator<<(std::ostream &out, const QString &text);
ORVA_API_EXPORT std::ostream &operator<<(std::ostream &out, const CMPath &path);
