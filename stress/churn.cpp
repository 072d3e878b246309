// SPDX-License-Identifier: MIT
// orva-churn: loads the plug-in as a host does, lets its worker watch a
// scratch directory in a real event loop, churns that directory in random
// bursts and, each time it has settled, compares the host's view of the
// worker with the directory. Prints figures; exits non-zero on any
// divergence, on a notification row older than its time-out, or on memory
// that grows from cycle to cycle.
#include "directorychurner.h"
#include "logtap.h"
#include "memoryprobe.h"
#include "pluginworker.h"
#include "testconfig.h"
#include "treecheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

namespace {

const QString kListPath = QStringLiteral("/CMStorageLinkWorker");
const QList<TreeCheck::Record> kRecords = {{QStringLiteral("usb-"), QStringLiteral("USB")},
                                           {QStringLiteral("mmc-"), QStringLiteral("Card")},
                                           {QStringLiteral("sd"), QStringLiteral("Disk")}};
// The row goes 10 s after it was shown, by a coarse timer (5 % leeway).
constexpr qint64 kNotificationLimitMs = 10500;
constexpr int kQuietMs = 400;
constexpr int kSettleLimitMs = 20000;
// Heap allowed to differ between the ends of two cycles.
constexpr long kHeapToleranceBytes = 256 * 1024;

// Counts the worker's rescans by their opening log line; counts only, so
// that the heap stays flat however long the churn runs.
class RescanCounter
{
public:
    RescanCounter()
        : m_tap("CB_StorageLink", log4cplus::DEBUG_LOG_LEVEL, [this](const LogRecord &record) {
              if (record.message.startsWith(QLatin1String("dirChanged: ")))
                  ++m_count;
          })
    {
    }
    long count() const { return m_count; }

private:
    long m_count = 0;
    LogTap m_tap;
};

// Follows the list's rows and times how long the notification row stays.
class NotificationClock
{
public:
    NotificationClock(PluginWorker &host, const QString &notificationPath)
        : m_host(host), m_path(notificationPath)
    {
        host.worker()->connectRowsChange(CMPath::fromEncoded(kListPath),
                                         [this](const CMPath &) { update(); });
        update();
    }
    qint64 longestMs() const
    {
        return m_shown.isValid() ? std::max(m_longest, m_shown.elapsed()) : m_longest;
    }
    int shownCount() const { return m_count; }

private:
    void update()
    {
        const bool shown = m_host.tree().rows(kListPath).contains(m_path);
        if (shown && !m_shown.isValid()) {
            m_shown.start();
            ++m_count;
        } else if (!shown && m_shown.isValid()) {
            m_longest = std::max(m_longest, m_shown.elapsed());
            m_shown.invalidate();
        }
    }
    PluginWorker &m_host;
    QString m_path;
    QElapsedTimer m_shown;
    qint64 m_longest = 0;
    int m_count = 0;
};

struct Options
{
    int seconds = 30;
    int cycles = 3;
    uint32_t seed = 0;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Churns a watched directory and checks the worker's tree."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("seconds"), QStringLiteral("Churn time in all."),
                      QStringLiteral("s"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("cycles"), QStringLiteral("Churn, settle, empty cycles."),
                      QStringLiteral("n"), QStringLiteral("3")});
    parser.addOption({QStringLiteral("seed"),
                      QStringLiteral("Random seed (default: from the clock)."),
                      QStringLiteral("seed")});
    parser.process(app);
    Options options;
    options.seconds = std::max(1, parser.value(QStringLiteral("seconds")).toInt());
    options.cycles = std::max(1, parser.value(QStringLiteral("cycles")).toInt());
    options.seed = parser.isSet(QStringLiteral("seed"))
                       ? parser.value(QStringLiteral("seed")).toUInt()
                       : std::random_device{}();
    return options;
}

void runEventsFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while (timer.elapsed() < ms);
}

// Runs the event loop until no rescan has started for a while; false when
// the worker never quietens.
bool settle(const RescanCounter &rescans)
{
    QElapsedTimer total;
    total.start();
    QElapsedTimer quiet;
    quiet.start();
    long seen = rescans.count();
    while (quiet.elapsed() < kQuietMs) {
        if (total.elapsed() > kSettleLimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (rescans.count() != seen) {
            seen = rescans.count();
            quiet.restart();
        }
    }
    return true;
}

QVariantHash churnConfig(const QString &directory)
{
    QVariantHash config = makeConfig(
        directory, {},
        {QStringLiteral("usb-:USB"), QStringLiteral("sd:Disk"), QStringLiteral("nvme:NVMe")});
    config.insert(QStringLiteral("watchPrefixes"), prefixItems(kRecords));
    return config;
}

class ChurnRun
{
public:
    ChurnRun(const Options &options, const QString &directory, PluginWorker &host,
             const RescanCounter &rescans)
        : m_options(options), m_churner(QFile::encodeName(directory).toStdString(), options.seed),
          m_host(host), m_rescans(rescans), m_check(host, directory, kRecords, kListPath),
          m_clock(host, m_check.notificationPath())
    {
    }

    int run();

private:
    void churnFor(qint64 ms);
    void settleAndCheck(const char *when);
    void checkNumberingRestarts();
    void sampleMemory();

    const Options &m_options;
    DirectoryChurner m_churner;
    PluginWorker &m_host;
    const RescanCounter &m_rescans;
    TreeCheck m_check;
    NotificationClock m_clock;
    int m_divergence = 0;
    bool m_failed = false;
    MemorySample m_peak;
};

void ChurnRun::sampleMemory()
{
    const MemorySample now = MemoryProbe::sample();
    m_peak.heapBytes = std::max(m_peak.heapBytes, now.heapBytes);
    m_peak.residentBytes = std::max(m_peak.residentBytes, now.residentBytes);
}

void ChurnRun::churnFor(qint64 ms)
{
    QElapsedTimer timer;
    timer.start();
    std::mt19937 &random = m_churner.random();
    while (timer.elapsed() < ms) {
        m_churner.burst(std::uniform_int_distribution<int>(1, 150)(random));
        runEventsFor(std::uniform_int_distribution<int>(0, 30)(random));
        sampleMemory();
    }
}

void ChurnRun::settleAndCheck(const char *when)
{
    if (!settle(m_rescans)) {
        std::printf("  %s: the worker did not settle within %d ms\n", when, kSettleLimitMs);
        m_failed = true;
    }
    const int divergence = m_check.divergence();
    m_divergence += divergence;
    for (const QString &problem : m_check.problems())
        std::printf("  %s: %s\n", when, qPrintable(problem));
    std::printf("  %s: %d entries with links, divergence %d\n", when,
                int(m_check.expectedNames().size()), divergence);
}

// With every link gone, each record numbers its next link 1 again.
void ChurnRun::checkNumberingRestarts()
{
    QStringList expected;
    for (const TreeCheck::Record &record : kRecords) {
        m_churner.makeDirectory((record.first + QStringLiteral("fresh")).toStdString());
        expected.append(record.second + QLatin1Char('1'));
    }
    std::sort(expected.begin(), expected.end());
    settleAndCheck("fresh entries");
    const QStringList titles = m_check.titles();
    if (titles != expected) {
        std::printf("  fresh entries: titles (%s), expected (%s)\n",
                    qPrintable(titles.join(QStringLiteral(", "))),
                    qPrintable(expected.join(QStringLiteral(", "))));
        ++m_divergence;
    }
    m_churner.removeAll();
}

int ChurnRun::run()
{
    const qint64 cycleMs = qint64(m_options.seconds) * 1000 / m_options.cycles;
    QList<MemorySample> ends;
    QList<int> nodeCounts;
    for (int cycle = 1; cycle <= m_options.cycles; ++cycle) {
        std::printf("cycle %d\n", cycle);
        churnFor(cycleMs);
        settleAndCheck("after churn");
        m_churner.removeAll();
        settleAndCheck("emptied");
        checkNumberingRestarts();
        settleAndCheck("emptied again");
        if (m_host.tree().rows(kListPath).contains(m_check.notificationPath())) {
            std::printf("  notification row left with no entry\n");
            ++m_divergence;
        }
        ends.append(MemoryProbe::sample());
        nodeCounts.append(m_host.worker()->nodes()->size());
        std::printf("  live nodes %d, heap %zu KiB, resident %zu KiB\n", nodeCounts.last(),
                    ends.last().heapBytes / 1024, ends.last().residentBytes / 1024);
    }

    // The first cycle warms up caches; from then on the ends must match.
    const long heapGrowth =
        long(ends.last().heapBytes) - long(ends.at(std::min(1, ends.size() - 1)).heapBytes);
    const bool nodesFlat = nodeCounts.first() == nodeCounts.last();
    const bool heapFlat = heapGrowth <= kHeapToleranceBytes;
    const bool notificationOk = m_clock.longestMs() <= kNotificationLimitMs;

    std::printf("operations %ld, rescans %ld, notification shown %d times, longest %lld ms\n",
                m_churner.operations(), m_rescans.count(), m_clock.shownCount(),
                static_cast<long long>(m_clock.longestMs()));
    std::printf("final divergence %d\n", m_divergence);
    std::printf(
        "memory: peak heap %zu KiB, peak resident %zu KiB; final heap %zu KiB, resident %zu KiB; "
        "heap growth after the first cycle %ld bytes; live nodes %d -> %d\n",
        m_peak.heapBytes / 1024, m_peak.residentBytes / 1024, ends.last().heapBytes / 1024,
        ends.last().residentBytes / 1024, heapGrowth, nodeCounts.first(), nodeCounts.last());
    const bool ok = m_divergence == 0 && !m_failed && nodesFlat && heapFlat && notificationOk;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app);
    std::printf("seed %u, %d s in %d cycles\n", options.seed, options.seconds, options.cycles);
    std::fflush(stdout);

    QTemporaryDir scratch;
    const QString directory = QDir(scratch.path()).canonicalPath();

    const RescanCounter rescans; // before the host: counts until the plug-in is gone
    PluginWorker host;
    if (!host.create(churnConfig(directory))) {
        std::fprintf(stderr, "cannot host the plug-in: %s\n", qPrintable(host.errorString()));
        return 2;
    }
    const int status = ChurnRun(options, directory, host, rescans).run();
    host.unload();
    return status;
}
