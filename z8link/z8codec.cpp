#include "z8link/z8codec.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/inifile.h"

namespace drv::z8 {

void PutU16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutU64(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | at[i];
    return v;
}

std::uint64_t GetU64(const std::uint8_t* at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | at[i];
    return v;
}

Bytes BuildPacket(std::uint32_t code, std::uint64_t sequence, const std::uint8_t* payload, std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - kHeaderSize - kPrefixSize) {
        throw std::length_error("Z8 payload too large");
    }
    Bytes packet(kHeaderSize + size);
    packet[0] = kStartMarker;
    PutU32(&packet[1], code);
    PutU32(&packet[5], static_cast<std::uint32_t>(size));
    PutU64(&packet[9], sequence);
    packet[17] = kEndMarker;
    if (size > 0) std::copy(payload, payload + size, packet.begin() + kHeaderSize);
    return packet;
}

Bytes BuildPollPacket() { return BuildPacket(kPoll, 0, nullptr, 0); }

Bytes BuildFrame(const std::uint8_t* body, std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("Z8 frame body too large");
    }
    Bytes frame(kPrefixSize + size, 0);
    frame[0] = kPrefixMarker;
    PutU32(&frame[5], static_cast<std::uint32_t>(size));
    PutU32(&frame[17], static_cast<std::uint32_t>(size));
    if (size > 0) std::copy(body, body + size, frame.begin() + kPrefixSize);
    return frame;
}

PrefixInfo ParsePrefix(const std::uint8_t* prefix) {
    PrefixInfo info;
    info.markerOk = prefix[0] == kPrefixMarker || prefix[0] == kPrefixMarkerAlt;
    info.bodyLength = static_cast<std::int32_t>(GetU32(&prefix[5]));
    return info;
}

std::pair<std::uint8_t*, std::size_t> ReplyAssembler::Space() {
    if (!m_inBody) return {m_prefix + m_prefixGot, kPrefixSize - m_prefixGot};
    return {m_body.data() + m_bodyGot, std::min(m_body.size() - m_bodyGot, m_chunkSize)};
}

ReplyAssembler::Status ReplyAssembler::Took(std::size_t n) {
    if (m_inBody) {
        m_bodyGot += std::min(n, m_body.size() - m_bodyGot);
        return m_bodyGot == m_body.size() ? Status::Whole : Status::NeedMore;
    }
    m_prefixGot += std::min(n, kPrefixSize - m_prefixGot);
    if (m_prefixGot < kPrefixSize) return Status::NeedMore;
    m_prefixGot = 0;
    const PrefixInfo info = ParsePrefix(m_prefix);
    if (!info.markerOk) return Status::ForeignMarker;
    if (info.bodyLength == 0) return Status::EmptyLength;
    if (info.bodyLength < 0) return Status::NegativeLength;
    if (static_cast<std::size_t>(info.bodyLength) > m_maxBody) return Status::Oversized;
    try {
        m_body.assign(static_cast<std::size_t>(info.bodyLength), 0);
    } catch (const std::bad_alloc&) {
        Reset();
        return Status::Oversized;
    }
    m_inBody = true;
    m_bodyGot = 0;
    return Status::NeedMore;
}

void ReplyAssembler::Reset() {
    m_prefixGot = 0;
    m_inBody = false;
    m_bodyGot = 0;
    if (m_body.capacity() > m_chunkSize) {
        Bytes().swap(m_body);
    } else {
        m_body.clear();
    }
}

bool IsAcceptedReply(const std::uint8_t* body, std::size_t size) {
    return body != nullptr && size >= kHeaderSize && body[0] == kStartMarker && body[17] == kEndMarker;
}

std::uint32_t ReplyCode(const std::uint8_t* body) { return GetU32(&body[1]); }

std::optional<PacketView> DecodePacket(const std::uint8_t* body, std::size_t size) {
    if (!IsAcceptedReply(body, size)) return std::nullopt;
    PacketView view;
    view.code = GetU32(&body[1]);
    view.lengthField = static_cast<std::int32_t>(GetU32(&body[5]));
    view.sequence = GetU64(&body[9]);
    view.payload.assign(body + kHeaderSize, body + size);
    return view;
}

Bytes HelloPayload() {
    Bytes payload(2);
    PutU16(payload.data(), kHelloValue);
    return payload;
}

Bytes PortStatusPayload(std::string_view comPort, bool portOpen) {
    Bytes payload(8, 0);
    const std::size_t n = std::min<std::size_t>(comPort.size(), 6);
    payload[0] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) payload[1 + i] = static_cast<std::uint8_t>(comPort[i]);
    payload[7] = portOpen ? 1 : 0;
    return payload;
}

Bytes FirstNumberPayload(std::int32_t firstNumber) {
    return Bytes{static_cast<std::uint8_t>(static_cast<std::uint32_t>(firstNumber) & 0xFF)};
}

namespace {
std::uint16_t PieceValue(std::string_view piece) {
    const auto v = drv::ParseProfileInteger(piece);
    return v ? static_cast<std::uint16_t>(static_cast<std::uint32_t>(*v) & 0xFFFF) : 0;
}
}  // namespace

std::array<std::uint16_t, 4> VersionNumbers(std::string_view version) {
    std::array<std::uint16_t, 4> numbers{};
    if (version.find('.') == std::string_view::npos) return numbers;
    std::string_view rest = version;
    for (int i = 0; i < 3; ++i) {
        const auto dot = rest.find('.');
        if (dot == std::string_view::npos) continue;  // 0, nothing removed
        numbers[i] = PieceValue(rest.substr(0, dot));
        rest.remove_prefix(dot + 1);
    }
    numbers[3] = PieceValue(rest);
    return numbers;
}

Bytes VersionPayload(std::string_view version) {
    const auto numbers = VersionNumbers(version);
    Bytes payload(8);
    for (int i = 0; i < 4; ++i) PutU16(&payload[2 * i], numbers[i]);
    return payload;
}

}  // namespace drv::z8
