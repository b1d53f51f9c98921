#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

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
struct LineChunk {
    std::uint32_t offset = 0;  // of the chunk's first byte in the delivery
    // Milliseconds the line was quiet before the chunk arrived, from the arrival of the chunk before it on the same
    // open port; DeliveryLine::kUnknown when there was none (port just opened or purged).
    std::uint32_t silenceBeforeMs = 0;
};

struct DeliveryLine {
    static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
    // Milliseconds the line was quiet before the delivery's first byte arrived, from the arrival of the byte
    // before it on the same open port; kUnknown when there was none (port just opened or purged, a direct call).
    // Used when chunks is empty: the delivery is then one chunk.
    std::uint32_t silenceBeforeMs = kUnknown;
    // The chunks the delivery's bytes arrived in, in order of their offsets, the first at offset 0; each with the
    // silence before it. Empty: one chunk with silenceBeforeMs.
    std::span<const LineChunk> chunks = {};
};

// The resync gap's ceiling unless drvorvel.ini says otherwise: longer than the hand-over interval of USB adapters
// (latency timers up to 32 ms) and of relayed lines (gaps up to about 50 ms).
inline constexpr std::uint32_t kDefaultResyncGapMs = 100;
// The shortest gap the decoder comes down to on a line that hands bytes over as they come.
inline constexpr std::uint32_t kResyncGapFloorMs = 10;

// What the decoder has seen of noise on the line since it was made.
struct LineNoise {
    std::uint64_t bytesDropped = 0;  // bytes of incomplete frames dropped at a resync
    std::uint64_t resyncs = 0;       // resyncs that dropped bytes
};

// Cuts the station's bytes into 4- and 5-byte frames. Runs on the main thread.
//
// Frame boundaries come from the bytes alone: a frame left incomplete by one chunk or delivery is completed by the
// next, however the line's bytes were cut. The frame format has no marker to fall back into step by, so the only
// moment to drop an incomplete frame is a real silence: when the line was quiet for longer than the resync gap
// before a chunk, the kept bytes are dropped and that chunk starts a new frame.
//
// The gap fits the line. It starts at its ceiling (the ResyncGap key) whenever the line starts afresh (a chunk
// whose silence is unknown: the port was opened or purged) and on Reset. Frames that start a chunk after a pause
// longer than the floor are the ones whose start is certain; a pause inside such a frame tells how far apart the
// line hands a frame's bytes over, and raises the gap at once to kGapFactor times that pause (within floor and
// ceiling). The gap comes down only after kDirectFrames such frames in a row each arrived whole, as one chunk of
// exactly its own bytes, and only while no such frame was ever handed over in parts further apart than the floor:
// then to kGapFactor times the longest pause seen inside them, at least the floor.
// While the gap is below its ceiling, a silence longer than it before a chunk that would cut a frame is decided on
// that chunk: the kept bytes are dropped when the chunk, decoded as the start of a frame, ends on a frame boundary
// (as every chunk of a line that hands bytes over as they come does); otherwise they are taken as the frame's
// start and the gap is raised to fit the silence.
class FrameDecoder {
public:
    static constexpr int kNoFrame = 255;
    static constexpr std::uint32_t kGapFactor = 3;
    static constexpr int kDirectFrames = 8;
    // Pauses inside a frame up to this long are bytes handed over as they come (a UART's interrupts).
    static constexpr std::uint32_t kDirectPauseMs = 2;

    explicit FrameDecoder(std::uint32_t resyncGapMs = kDefaultResyncGapMs) { SetResyncGap(resyncGapMs); }

    // The ceiling (the ResyncGap key); setting it restarts the adaptation there.
    std::uint32_t ResyncGap() const { return m_ceiling; }
    void SetResyncGap(std::uint32_t ms) {
        m_ceiling = ms;
        RestartLine();
    }
    // The gap in effect now.
    std::uint32_t GapInEffect() const { return m_gap; }
    std::uint32_t Floor() const { return !m_adaptive || m_ceiling < kResyncGapFloorMs ? m_ceiling : kResyncGapFloorMs; }
    // false: the gap stays at its ceiling whatever the line does (the floor is the ceiling).
    void SetAdaptive(bool adaptive) {
        m_adaptive = adaptive;
        RestartLine();
    }

    // Calls onFrame(const uint8_t* frame, int length) for each frame completed by this delivery, in order.
    template <typename OnFrame>
    void Feed(const std::uint8_t* data, std::size_t size, DeliveryLine line, OnFrame&& onFrame) {
        if (size == 0) return;
        const LineChunk whole{0, line.silenceBeforeMs};
        const std::span<const LineChunk> chunks =
            line.chunks.empty() ? std::span<const LineChunk>(&whole, 1) : line.chunks;
        std::size_t at = 0;
        for (std::size_t c = 0; c < chunks.size() && at < size; ++c) {
            std::size_t end = size;
            if (c + 1 < chunks.size()) end = std::clamp<std::size_t>(chunks[c + 1].offset, at, size);
            if (end == at) continue;  // an empty chunk, or one out of order: its bytes go with the next
            ChunkStarts(chunks[c].silenceBeforeMs, data + at, end - at);
            for (std::size_t i = at; i < end; ++i) Take(data[i], i == at, i + 1 == end, onFrame);
            at = end;
        }
    }

    // Forgets an incomplete frame and what was learnt of the line (the line was closed or its device lost): the
    // gap is back at its ceiling.
    void Reset() {
        DropPending();
        RestartLine();
    }

    // Bytes of an incomplete frame kept for the next delivery (0 when none).
    int PendingBytes() const { return m_expected == kNoFrame ? 0 : m_count; }

    const LineNoise& Noise() const { return m_noise; }
    // The line to tell the operator about the latest drop, once a drop happened since the last such line and at
    // least kNoticeIntervalMs after it (nowMs: a monotonic count of milliseconds); empty otherwise.
    static constexpr std::int64_t kNoticeIntervalMs = 60000;
    std::string DropNotice(std::int64_t nowMs);

private:
    void RestartLine() {
        m_gap = m_ceiling;
        m_longestInside = 0;
        m_directRun = 0;
        m_chunked = false;
    }
    void DropPending() {
        m_expected = kNoFrame;
        m_count = 0;
    }
    std::uint32_t Clamp(std::uint64_t ms) const {
        return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(ms, Floor(), m_ceiling));
    }
    // Whether the chunk, decoded from the state (expected, count), ends outside a frame.
    static bool EndsOnBoundary(int expected, int count, const std::uint8_t* chunk, std::size_t size);
    void InsidePause(std::uint32_t ms);
    void ChunkStarts(std::uint32_t silence, const std::uint8_t* chunk, std::size_t size);
    void FrameDone(bool endsChunk);

    template <typename OnFrame>
    void Take(std::uint8_t b, bool chunkStart, bool chunkEnd, OnFrame& onFrame) {
        if (m_expected == kNoFrame) {
            m_expected = FrameLengthOf(b);
            m_frame[0] = b;
            m_count = 1;
            m_frameAfterPause = chunkStart && m_chunkAfterPause;
            m_frameLongestPause = 0;
        } else if (m_count + 1 < m_expected) {
            m_frame[m_count++] = b;
        } else {
            m_frame[m_count] = b;
            const int length = m_expected;
            DropPending();
            FrameDone(chunkEnd);
            onFrame(static_cast<const std::uint8_t*>(m_frame), length);
        }
    }

    std::uint32_t m_ceiling = kDefaultResyncGapMs;
    bool m_adaptive = true;
    std::uint32_t m_gap = kDefaultResyncGapMs;
    std::uint32_t m_longestInside = 0;  // the longest pause inside a frame that started after a pause
    int m_directRun = 0;                // frames in a row that arrived whole after a pause
    bool m_chunked = false;             // a frame's bytes came in parts further apart than the floor
    bool m_chunkAfterPause = false;     // the current chunk came after a pause longer than the floor
    bool m_frameAfterPause = false;     // the frame in progress started such a chunk
    std::uint32_t m_frameLongestPause = 0;
    int m_expected = kNoFrame;
    int m_count = 0;
    std::uint8_t m_frame[5] = {};
    LineNoise m_noise;
    struct Drop {
        std::uint32_t bytes = 0, silenceMs = 0, gapMs = 0;
    } m_lastDrop;
    bool m_dropToTell = false;
    bool m_told = false;
    std::int64_t m_toldAtMs = 0;
};

}  // namespace drv
