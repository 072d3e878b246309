// SPDX-License-Identifier: MIT
// Translatable texts. The stand-in has no translator: a text shows its source.
#pragma once

#include <orva/orva_api_export.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

struct TrCharData
{
    const char *context;
    const char *sourceText;
    const char *disambiguation;
    int count;
};

// One argument substituted into a translated text ("%1", "%2", ...).
struct TrArg
{
    QString value;
};

class ORVA_API_EXPORT TrString
{
public:
    TrString() = default;
    TrString(const QString &plain);
    TrString(const TrCharData &data, const QList<TrArg> &args);

    bool isTranslatable() const { return m_translatable; }
    const QByteArray &context() const { return m_context; }
    const QByteArray &disambiguation() const { return m_disambiguation; }
    int count() const { return m_count; }

    // The text as shown: the source text with its arguments filled in.
    QString toString() const;

private:
    // Copies of everything: the caller's TrCharData may point at temporaries.
    QString m_source;
    QByteArray m_context;
    QByteArray m_disambiguation;
    int m_count = -1;
    QList<TrArg> m_args;
    bool m_translatable = false;
};

// The translation context of a function signature: the class part of its
// qualified name ("A::B::f(int)" -> "A::B", "int g()" -> ""). The bytes live as
// long as the process, so they may be stored in a TrCharData.
ORVA_API_EXPORT const char *trExtractContext(const char *signature);
