// SPDX-License-Identifier: MIT
#include "memoryprobe.h"

#include <malloc.h>
#include <unistd.h>

#include <fstream>

MemorySample MemoryProbe::sample()
{
    MemorySample result;
    result.heapBytes = mallinfo2().uordblks;
    std::ifstream statm("/proc/self/statm");
    size_t sizePages = 0;
    size_t residentPages = 0;
    if (statm >> sizePages >> residentPages)
        result.residentBytes = residentPages * size_t(sysconf(_SC_PAGESIZE));
    return result;
}
