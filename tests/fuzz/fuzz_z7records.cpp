// The Z7 record cutter: whatever the Z7 server sends, in reads of any size.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "z7link/z7record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes set the largest read (up to 2 KiB); the rest is the stream.
    const std::size_t piece = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % 2048 + 1;
    std::vector<std::uint8_t> pending;
    std::size_t out = 0;
    for (std::size_t at = 2; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        for (const auto& record : drv::z7::CutRecords(pending, data + at, n)) {
            if (record.size() != drv::z7::kRecordSize) std::abort();
            if (!std::equal(record.begin(), record.end(), data + 2 + out)) std::abort();  // in order, unchanged
            out += record.size();
            if (drv::z7::HasSignature(record.data())) {
                (void)drv::z7::ValueOf(record.data());
                (void)drv::z7::ClockTarget(drv::z7::DateTimeOf(record.data()));
                (void)drv::z7::Describe(record.data());
            }
        }
        if (pending.size() >= drv::z7::kRecordSize || out + pending.size() != at + n - 2) std::abort();
    }
    return 0;
}
