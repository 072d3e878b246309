// SPDX-License-Identifier: MIT
// Builds one JSON object with its keys in the order given, so that every
// event line starts with "event".
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class JsonLine
{
public:
    JsonLine &string(const char *key, const QString &value);
    JsonLine &number(const char *key, int value);
    JsonLine &boolean(const char *key, bool value);
    JsonLine &strings(const char *key, const QStringList &values);
    // value must already be JSON text.
    JsonLine &raw(const char *key, const QByteArray &value);
    QByteArray toJson() const { return '{' + m_body + '}'; }

    static QByteArray quote(const QString &text);
    static QByteArray array(const QList<QByteArray> &items);

private:
    void key(const char *name);
    QByteArray m_body;
};
