// SPDX-License-Identifier: MIT
#include "reactionprobe.h"

#include "entrytree.h"
#include "rawinotify.h"

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 2000;

double microsBetween(ReactionProbe::Clock::time_point a, ReactionProbe::Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

} // namespace

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = size_t(std::ceil(fraction * double(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

ReactionProbe::ReactionProbe(const QString &watchedDir) : m_dir(watchedDir), m_driver(watchedDir)
{
    m_subscription = m_driver.worker()->connectRowsChange(
        m_driver.listPath(), [this](const CMPath &) { onRowsChanged(); });
}

ReactionProbe::~ReactionProbe()
{
    m_driver.worker()->disconnectRowsChange(m_subscription);
}

Latencies ReactionProbe::run(int trials, int warmup)
{
    RawInotify raw(m_dir);
    Latencies result;
    if (!raw.isWatching())
        return result;
    for (int i = 0; i < warmup + trials; ++i) {
        const std::string name = EntryTree::entryName(2 * (50000 + i)).toStdString();
        const QString path = m_dir + QLatin1Char('/') + QString::fromStdString(name);
        const QString row =
            m_driver.listPath().toEncoded() + QLatin1Char('/') + QString::fromStdString(name);

        const auto start = Clock::now();
        if (::mkdir(QFile::encodeName(path).constData(), 0755) != 0)
            break;
        const bool seen = awaitRow(row, true);
        const auto rawSeen = raw.takeCreation(name, std::chrono::milliseconds(kTimeoutMs));
        if (seen && rawSeen && i >= warmup) {
            result.rowMicros.push_back(microsBetween(start, m_seen));
            result.rawMicros.push_back(microsBetween(start, *rawSeen));
        }
        ::rmdir(QFile::encodeName(path).constData());
        awaitRow(row, false);
    }
    return result;
}

// Runs the event loop until the host's rows of the list hold row (or no longer do).
bool ReactionProbe::awaitRow(const QString &row, bool present)
{
    m_awaited = row;
    m_awaitPresent = present;
    m_done = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    guard.start(kTimeoutMs);
    m_loop.exec();
    m_awaited.clear();
    return m_done;
}

void ReactionProbe::onRowsChanged()
{
    if (m_awaited.isEmpty() || m_done)
        return;
    const QVariantList rows =
        m_driver.worker()->request(QStringLiteral("rows"), m_driver.listPath()).toList();
    if (rows.contains(QVariant(m_awaited)) != m_awaitPresent)
        return;
    m_seen = Clock::now();
    m_done = true;
    m_loop.quit();
}
