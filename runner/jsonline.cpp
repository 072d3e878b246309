// SPDX-License-Identifier: MIT
#include "jsonline.h"

QByteArray JsonLine::quote(const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray JsonLine::array(const QList<QByteArray> &items)
{
    QByteArray out = "[";
    for (int i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ',';
        out += items.at(i);
    }
    return out + ']';
}

void JsonLine::key(const char *name)
{
    if (!m_body.isEmpty())
        m_body += ',';
    m_body += quote(QString::fromUtf8(name));
    m_body += ':';
}

JsonLine &JsonLine::string(const char *name, const QString &value)
{
    return raw(name, quote(value));
}

JsonLine &JsonLine::number(const char *name, int value)
{
    return raw(name, QByteArray::number(value));
}

JsonLine &JsonLine::boolean(const char *name, bool value)
{
    return raw(name, value ? "true" : "false");
}

JsonLine &JsonLine::strings(const char *name, const QStringList &values)
{
    QList<QByteArray> items;
    for (const QString &value : values)
        items.append(quote(value));
    return raw(name, array(items));
}

JsonLine &JsonLine::raw(const char *name, const QByteArray &value)
{
    key(name);
    m_body += value;
    return *this;
}
