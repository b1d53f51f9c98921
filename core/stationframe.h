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

// What the serial line did before one delivery, as the serial component saw it.
struct DeliveryLine {
    static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
    // Milliseconds the line was quiet before the delivery's first byte arrived, from the arrival of the byte
    // before it on the same open port; kUnknown when there was none (port just opened or purged, a direct call).
    std::uint32_t silenceBeforeMs = kUnknown;
};

// The resync gap the driver uses unless drvorvel.ini says otherwise: longer than the hand-over interval of USB
// adapters (latency timers up to 32 ms) and of relayed lines (gaps up to about 50 ms).
inline constexpr std::uint32_t kDefaultResyncGapMs = 100;

// Cuts the station's bytes into 4- and 5-byte frames. Runs on the main thread.
//
// Frame boundaries come from the bytes alone: a frame left incomplete by one delivery is completed by the next,
// however the line's bytes were cut into deliveries. The frame format has no marker to fall back into step by,
// so the only moment to drop an incomplete frame is a real silence: when the line was quiet for longer than the
// resync gap before the next delivery, the kept bytes are dropped and that delivery starts a new frame.
class FrameDecoder {
public:
    static constexpr int kNoFrame = 255;

    explicit FrameDecoder(std::uint32_t resyncGapMs = kDefaultResyncGapMs) : m_resyncGapMs(resyncGapMs) {}

    std::uint32_t ResyncGap() const { return m_resyncGapMs; }
    void SetResyncGap(std::uint32_t ms) { m_resyncGapMs = ms; }

    // Calls onFrame(const uint8_t* frame, int length) for each frame completed by this delivery, in order.
    template <typename OnFrame>
    void Feed(const std::uint8_t* data, std::size_t size, DeliveryLine line, OnFrame&& onFrame) {
        if (size == 0) return;
        if (line.silenceBeforeMs > m_resyncGapMs) Reset();
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
    }

    // Forgets an incomplete frame (the line was closed or its device lost).
    void Reset() {
        m_expected = kNoFrame;
        m_count = 0;
    }

    // Bytes of an incomplete frame kept for the next delivery (0 when none).
    int PendingBytes() const { return m_expected == kNoFrame ? 0 : m_count; }

private:
    std::uint32_t m_resyncGapMs;
    int m_expected = kNoFrame;
    int m_count = 0;
    std::uint8_t m_frame[5] = {};
};

}  // namespace drv
