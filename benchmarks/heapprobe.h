// SPDX-License-Identifier: MIT
// Heap held per live link: the worker and the host stand-in's registry together.
#pragma once

#include <QByteArray>

#include <cstddef>

struct HeapFigures
{
    int links = 0;
    std::size_t idleBytes = 0;   // a worker with no link
    std::size_t loadedBytes = 0; // the same worker holding links
    double bytesPerLink() const { return links ? double(loadedBytes - idleBytes) / links : 0; }
};

class EntryTree;

class HeapProbe
{
public:
    static std::size_t inUse();
    // Links every matching entry of a tree with 2 * links entries.
    static HeapFigures measure(int links);
    // The same without label files, and with every label a link to one file
    // holding sharedLabel.
    static HeapFigures measure(int links, const QByteArray &sharedLabel);

private:
    static HeapFigures measure(const EntryTree &full, int links);
};
