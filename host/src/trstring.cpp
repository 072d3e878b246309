// SPDX-License-Identifier: MIT
#include "orva/trstring.h"

#include "signature.h"

#include <QMutex>
#include <QSet>

TrString::TrString(const QString &plain) : m_source(plain) {}

TrString::TrString(const TrCharData &data, const QList<TrArg> &args)
    : m_source(QString::fromUtf8(data.sourceText)), m_context(data.context),
      m_disambiguation(data.disambiguation), m_count(data.count), m_args(args), m_translatable(true)
{
}

QString TrString::toString() const
{
    QString text = m_source;
    for (const TrArg &arg : m_args)
        text = text.arg(arg.value);
    return text;
}

const char *trExtractContext(const char *signature)
{
    const std::string name = qualifiedFunctionName(signature);
    const auto scope = name.rfind("::");
    const QByteArray text =
        scope == std::string::npos ? QByteArray() : QByteArray(name.data(), int(scope));

    // Interned so that the pointer stays valid for the life of the process.
    static QMutex mutex;
    static QSet<QByteArray> interned;
    QMutexLocker lock(&mutex);
    auto it = interned.constFind(text);
    if (it == interned.constEnd())
        it = interned.insert(text);
    return it->constData();
}
