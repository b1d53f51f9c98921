#include "core/stationframe.h"

namespace drv {
namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

void FillStationEvent(StationEvent& event, const std::uint8_t* frame, int length, std::int32_t firstNumber) {
    event[19] = 0x29;
    // 32-bit two's complement arithmetic, whatever FirstNumber holds.
    const std::uint32_t object = static_cast<std::uint32_t>(RawObjectNumber(frame[0], frame[1])) +
                                 static_cast<std::uint32_t>(firstNumber) * 10000u;
    event[0] = static_cast<std::uint8_t>(object);
    event[1] = static_cast<std::uint8_t>(object >> 8);
    event[2] = static_cast<std::uint8_t>(object >> 16);
    event[3] = static_cast<std::uint8_t>(object >> 24);
    event[4] = 2;
    event[5] = static_cast<std::uint8_t>(kHexDigits[frame[2] >> 4]);
    event[6] = static_cast<std::uint8_t>(kHexDigits[frame[2] & 0x0F]);
    event[9] = frame[3];
    event[10] = length == 5 ? frame[4] : 0;
}

std::int32_t EventObjectNumber(const StationEvent& event) {
    const std::uint32_t v = static_cast<std::uint32_t>(event[0]) | (static_cast<std::uint32_t>(event[1]) << 8) |
                            (static_cast<std::uint32_t>(event[2]) << 16) | (static_cast<std::uint32_t>(event[3]) << 24);
    return static_cast<std::int32_t>(v);
}

}  // namespace drv
