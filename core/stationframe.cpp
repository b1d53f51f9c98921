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

namespace drv {

bool FrameDecoder::EndsOnBoundary(int expected, int count, const std::uint8_t* chunk, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (expected == kNoFrame) {
            expected = FrameLengthOf(chunk[i]);
            count = 1;
        } else if (++count == expected) {
            expected = kNoFrame;
        }
    }
    return expected == kNoFrame;
}

void FrameDecoder::InsidePause(std::uint32_t ms) {
    if (ms > m_frameLongestPause) m_frameLongestPause = ms;
    if (!m_frameAfterPause) return;  // where such a frame started is not certain
    if (ms > m_longestInside) m_longestInside = ms;
    if (ms > Floor()) m_chunked = true;
    m_gap = std::max(m_gap, Clamp(std::uint64_t{ms} * kGapFactor));
}

void FrameDecoder::ChunkStarts(std::uint32_t silence, const std::uint8_t* chunk, std::size_t size) {
    m_chunkAfterPause = silence > Floor();
    if (silence == DeliveryLine::kUnknown) {
        // The line starts afresh: what was kept belongs to a line that is no more, and what was learnt with it.
        if (PendingBytes() > 0) {
            m_noise.bytesDropped += static_cast<std::uint64_t>(m_count);
            DropPending();
        }
        RestartLine();
        return;
    }
    if (PendingBytes() == 0) return;
    if (silence <= m_gap) return InsidePause(silence);
    // A silence longer than the gap cuts the frame. Below the ceiling it may instead be the line handing bytes
    // over more slowly than before: a chunk that came after a real cut starts a frame and, on a line that hands
    // bytes over as they come, ends with one; a chunk that does not is the rest of the kept frame.
    if (m_gap < m_ceiling && silence <= m_ceiling && !EndsOnBoundary(kNoFrame, 0, chunk, size)) {
        return InsidePause(silence);
    }
    m_lastDrop = {static_cast<std::uint32_t>(m_count), silence, m_gap};
    m_dropToTell = true;
    m_noise.bytesDropped += static_cast<std::uint64_t>(m_count);
    ++m_noise.resyncs;
    DropPending();
}

void FrameDecoder::FrameDone(bool endsChunk) {
    if (!m_frameAfterPause) return;
    if (!endsChunk || m_frameLongestPause > kDirectPauseMs) {
        m_directRun = 0;
        return;
    }
    if (++m_directRun < kDirectFrames || m_chunked) return;
    m_gap = std::min(m_gap, Clamp(std::uint64_t{m_longestInside} * kGapFactor));
}

std::string FrameDecoder::DropNotice(std::int64_t nowMs) {
    if (!m_dropToTell || (m_told && nowMs - m_toldAtMs < kNoticeIntervalMs)) return {};
    m_dropToTell = false;
    m_told = true;
    m_toldAtMs = nowMs;
    return "station line: " + std::to_string(m_lastDrop.bytes) + (m_lastDrop.bytes == 1 ? " byte" : " bytes") +
           " of an incomplete frame dropped after " + std::to_string(m_lastDrop.silenceMs) + " ms of silence (gap " +
           std::to_string(m_lastDrop.gapMs) + " ms)";
}

}  // namespace drv
