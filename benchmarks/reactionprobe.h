// SPDX-License-Identifier: MIT
// Reaction time: from mkdir of a matching subdirectory to its row being seen
// through the host's view of the worker, beside raw inotify delivery of the
// same mkdir.
#pragma once

#include "rescandriver.h"

#include <QEventLoop>
#include <QString>

#include <chrono>
#include <vector>

struct Latencies
{
    std::vector<double> rawMicros; // mkdir to our own inotify read
    std::vector<double> rowMicros; // mkdir to the row in the host's rows answer
};

class ReactionProbe
{
public:
    using Clock = std::chrono::steady_clock;

    explicit ReactionProbe(const QString &watchedDir);
    ~ReactionProbe();

    // trials measured after warmup unmeasured ones; a trial that times out is dropped.
    Latencies run(int trials, int warmup);

private:
    bool trial(int index, double &rawMicros, double &rowMicros);
    bool awaitRow(const QString &row, bool present);
    void onRowsChanged();

    QString m_dir;
    RescanDriver m_driver;
    int m_subscription = 0;
    QEventLoop m_loop;
    QString m_awaited;
    bool m_awaitPresent = true;
    bool m_done = false;
    Clock::time_point m_seen;
};

// Median and 99th percentile of a sample, in its unit.
double percentile(std::vector<double> values, double fraction);
