// The station frame decoder: whatever bytes the line delivers, in deliveries of any size.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "core/stationframe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte sets the delivery size and the silence before each delivery (a silence longer than the resync
    // gap drops an incomplete frame).
    const std::size_t delivery = data[0] % 16 + 1;
    const drv::DeliveryLine line{static_cast<std::uint32_t>(data[0]) * 2};
    drv::FrameDecoder decoder;
    drv::StationEvent event{};
    for (std::size_t at = 1; at < size; at += delivery) {
        const std::size_t n = std::min(delivery, size - at);
        decoder.Feed(data + at, n, line, [&](const std::uint8_t* frame, int length) {
            if (length != drv::FrameLengthOf(frame[0])) std::abort();
            drv::FillStationEvent(event, frame, length, 4);
            const std::int32_t object = drv::EventObjectNumber(event);
            if (object < 40000 || object > 40000 + 32767 || event[19] != 0x29 || event[4] != 2) std::abort();
        });
    }
    return 0;
}
