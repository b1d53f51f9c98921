#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace drv {

// One decoded station signal, exactly as it is sent to the Z8 server and stored in .ob8 files.
using StationEvent = std::array<std::uint8_t, 20>;

inline constexpr std::uint32_t kStationEventCode = 0x03000020;

// The raw object number of a frame (0..32767) from its first two bytes.
inline std::int32_t RawObjectNumber(std::uint8_t b0, std::uint8_t b1) {
    const int high = ((b0 >> 1) & 0x70) | (b0 & 0x0F);
    return high * 256 + b1;
}

// The length a frame announces in its first byte: 4 when bit 0x10 is set, else 5.
inline int FrameLengthOf(std::uint8_t b0) { return (b0 & 0x10) ? 4 : 5; }

// Writes a completed frame (4 or 5 bytes) into the event: offsets 0..6, 9, 10 and 19. The other bytes are
// left as they are (they stay zero in an event that started zero-filled).
void FillStationEvent(StationEvent& event, const std::uint8_t* frame, int length, std::int32_t firstNumber);

// The object number stored at offset 0 of an event.
std::int32_t EventObjectNumber(const StationEvent& event);

// What the serial line did around one delivery, as the serial component saw it.
struct DeliveryLine {
    // The delivery's first byte followed the previous delivery's last byte without a pause, on the same open port.
    bool continuesPrevious = false;
    // The station was still sending when the delivery was cut.
    bool busyAtEnd = false;
};

// Cuts deliveries from the station into 4- and 5-byte frames. Runs on the main thread.
//
// A delivery starts outside a frame, except when it continues one that was cut while the line was busy: then the
// frame the previous delivery left incomplete is completed by this one. A frame left incomplete by a delivery
// after which the line went quiet is dropped, and so is a kept one when the next delivery starts after a pause
// or on a reopened port.
class FrameDecoder {
public:
    static constexpr int kNoFrame = 255;

    // Calls onFrame(const uint8_t* frame, int length) for each frame completed by this delivery, in order.
    template <typename OnFrame>
    void Feed(const std::uint8_t* data, std::size_t size, DeliveryLine line, OnFrame&& onFrame) {
        if (!m_carry || !line.continuesPrevious) {
            m_expected = kNoFrame;
            m_count = 0;
        }
        m_carry = false;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t b = data[i];
            if (m_expected == kNoFrame) {
                m_expected = FrameLengthOf(b);
                m_frame[0] = b;
                m_count = 1;
            } else if (m_count + 1 < m_expected) {
                m_frame[m_count++] = b;
            } else {
                m_frame[m_count] = b;
                const int length = m_expected;
                m_expected = kNoFrame;
                m_count = 0;
                onFrame(static_cast<const std::uint8_t*>(m_frame), length);
            }
        }
        m_carry = line.busyAtEnd && m_expected != kNoFrame;
    }

    // Bytes of an incomplete frame kept for the next delivery (0 when none).
    int PendingBytes() const { return m_carry ? m_count : 0; }

private:
    int m_expected = kNoFrame;
    int m_count = 0;
    bool m_carry = false;
    std::uint8_t m_frame[5] = {};
};

}  // namespace drv
