// SPDX-License-Identifier: MIT
#include "orva/cmpath.h"

#include <ostream>

CMPath CMPath::fromEncoded(const QString &encoded)
{
    return CMPath(encoded);
}

bool CMPath::startsWith(const CMPath &other) const
{
    if (!m_encoded.startsWith(other.m_encoded))
        return false;
    // Whole components only: "/a/b" lies below "/a" but "/a-2" does not.
    return m_encoded.size() == other.m_encoded.size() ||
           other.m_encoded.endsWith(QLatin1Char('/')) ||
           m_encoded.at(other.m_encoded.size()) == QLatin1Char('/');
}

CMPath CMPath::operator+(const QString &text) const
{
    return CMPath(m_encoded + text);
}

CMPath &CMPath::operator+=(const QString &text)
{
    m_encoded += text;
    return *this;
}

std::ostream &operator<<(std::ostream &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return out.write(utf8.constData(), utf8.size());
}

std::ostream &operator<<(std::ostream &out, const CMPath &path)
{
    return out << path.toEncoded();
}
