// SPDX-License-Identifier: MIT
#include "heapprobe.h"

#include "entrytree.h"
#include "rescandriver.h"

#include <malloc.h>

#include <memory>

std::size_t HeapProbe::inUse()
{
    return mallinfo2().uordblks;
}

HeapFigures HeapProbe::measure(int links)
{
    const EntryTree full(2 * links, true);
    return measure(full, links);
}

HeapFigures HeapProbe::measure(int links, const QByteArray &sharedLabel)
{
    EntryTree full(2 * links, false);
    if (!sharedLabel.isEmpty())
        full.linkLabelsTo(sharedLabel);
    return measure(full, links);
}

HeapFigures HeapProbe::measure(const EntryTree &full, int links)
{
    const EntryTree empty(0, false);
    HeapFigures figures;
    figures.links = links;
    {
        RescanDriver warmup(empty.path());
    } // first-use allocations of Qt and the logger

    const std::size_t before = inUse();
    auto driver = std::make_unique<RescanDriver>(empty.path());
    figures.idleBytes = inUse() - before;
    driver->rescan(full.path());
    figures.loadedBytes = inUse() - before;
    return figures;
}
