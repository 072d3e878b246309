// SPDX-License-Identifier: MIT
// Heap in use (malloc's own count) and resident size of this process.
#pragma once

#include <cstddef>

struct MemorySample
{
    size_t heapBytes = 0;
    size_t residentBytes = 0;
};

class MemoryProbe
{
public:
    static MemorySample sample();
};
