// SPDX-License-Identifier: MIT
#include "rescandriver.h"

#include "testconfig.h"

#include <log4cplus/logger.h>

#include <QMetaObject>

RescanDriver::RescanDriver(const QString &watchPath)
    : m_worker(std::make_unique<CMStorageLinkWorker>(config(watchPath)))
{
}

RescanDriver::~RescanDriver() = default;

void RescanDriver::rescan(const QString &dir)
{
    QMetaObject::invokeMethod(m_worker.get(), "dirChanged", Qt::DirectConnection,
                              Q_ARG(QString, dir));
}

CMPath RescanDriver::listPath() const
{
    return m_worker->addPrefix(QString());
}

void RescanDriver::silenceLogger()
{
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("CB_StorageLink"))
        .setLogLevel(log4cplus::OFF_LOG_LEVEL);
}

QVariantHash RescanDriver::config(const QString &watchPath)
{
    const QStringList usb{QStringLiteral("usb-:USB")};
    return makeConfig(watchPath, usb, usb);
}
