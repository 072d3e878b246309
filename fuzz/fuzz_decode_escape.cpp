// SPDX-License-Identifier: MIT
// Arbitrary bytes through the label escape decoder.
#include "cmstoragelinkworker.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray in(reinterpret_cast<const char *>(data), int(size));
    const QByteArray out = CMStorageLinkWorker::decodeEscape(in);

    // The decoder stops at the first zero byte, and an escape turns four
    // bytes into one, so the result is never longer than that text.
    const QByteArray text(in.constData(), int(std::strlen(in.constData())));
    if (out.size() > text.size()) {
        std::fprintf(stderr, "decoded %d bytes from %d\n", out.size(), text.size());
        std::abort();
    }
    // Without an escape introducer every byte stands for itself.
    if (!text.contains("\\x") && out != text) {
        std::fprintf(stderr, "text without escapes changed\n");
        std::abort();
    }
    for (const char c : text) {
        const int digit = CMStorageLinkWorker::hexToDigit(c);
        if (digit < 0 || digit > 15)
            std::abort();
    }
    return 0;
}
