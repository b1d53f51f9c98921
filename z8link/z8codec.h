#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// The bytes of the Z8 protocol: frames, packets, command codes and payloads. Pure functions, no state; any
// thread may call them.
namespace drv::z8 {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kPrefixSize = 21;  // frame prefix ahead of every body
inline constexpr std::size_t kHeaderSize = 18;  // packet header ahead of every payload
inline constexpr std::uint8_t kPrefixMarker = 0xFF;
inline constexpr std::uint8_t kPrefixMarkerAlt = 0xF0;  // accepted from the server like 0xFF
inline constexpr std::uint8_t kStartMarker = 0xFF;
inline constexpr std::uint8_t kEndMarker = 0xFE;

// Sent by the driver.
inline constexpr std::uint32_t kHello = 0x02000001;
inline constexpr std::uint32_t kPortStatus = 0x02200062;
inline constexpr std::uint32_t kFirstNumber = 0x02200065;
inline constexpr std::uint32_t kVersion = 0x02200063;
inline constexpr std::uint32_t kPoll = 0x02000000;
inline constexpr std::uint32_t kAnswer = 0x02FFFFFF;
inline constexpr std::uint32_t kStationEvent = 0x03000020;
// Sent by the server.
inline constexpr std::uint32_t kStartPolling = 0x02000003;
inline constexpr std::uint32_t kRequest = 0x02000004;
inline constexpr std::uint32_t kAccessDenied = 0x02000005;
inline constexpr std::uint32_t kDisconnect = 0x02FFFFFD;
inline constexpr std::uint32_t kDropConnection = 0x02FFFFFE;
inline constexpr std::uint32_t kEventAcknowledged = 0x03000021;

inline constexpr std::uint16_t kHelloValue = 28;

void PutU16(std::uint8_t* at, std::uint16_t value);
void PutU32(std::uint8_t* at, std::uint32_t value);
void PutU64(std::uint8_t* at, std::uint64_t value);
std::uint32_t GetU32(const std::uint8_t* at);
std::uint64_t GetU64(const std::uint8_t* at);

// One packet: the 18-byte header (start marker, code, payload length, sequence number, end marker) and the payload.
Bytes BuildPacket(std::uint32_t code, std::uint64_t sequence, const std::uint8_t* payload, std::size_t size);
inline Bytes BuildPacket(std::uint32_t code, std::uint64_t sequence, const Bytes& payload) {
    return BuildPacket(code, sequence, payload.data(), payload.size());
}
// The poll packet: code 0x02000000, no payload, always sequence number 0.
Bytes BuildPollPacket();

// A frame as written on the connection: the 21-byte prefix (marker 0xFF, the body length N at offsets 5 and 17,
// zeros elsewhere) followed by the body. Throws std::length_error for a body beyond 2^31 - 1 bytes.
Bytes BuildFrame(const std::uint8_t* body, std::size_t size);
inline Bytes BuildFrame(const Bytes& body) { return BuildFrame(body.data(), body.size()); }

// What a received prefix tells: whether its marker is one the driver accepts, and the announced body length N.
struct PrefixInfo {
    bool markerOk = false;
    std::int32_t bodyLength = 0;
};
PrefixInfo ParsePrefix(const std::uint8_t* prefix);  // kPrefixSize bytes

// Puts one reply frame (prefix and body) together from bytes that arrive in pieces of any size. The caller reads
// into Space() and reports the count with Took(). Not synchronised: one owner.
class ReplyAssembler {
public:
    enum class Status {
        NeedMore,        // more bytes are wanted at Space()
        Whole,           // Body() holds the whole body; Reset() before the next reply
        ForeignMarker,   // the prefix's first byte is neither 0xFF nor 0xF0: it is dropped and what follows is
                         // read as a new prefix
        EmptyLength,     // the prefix announced no body (N of 0)
        NegativeLength,  // the prefix announced a negative length: no body is read
        Oversized,       // the prefix announced more than the limit (or no memory was left for it): not read
    };

    ReplyAssembler(std::size_t maxBody, std::size_t chunkSize) : m_maxBody(maxBody), m_chunkSize(chunkSize) {}

    // Where the next bytes go and how many are wanted at most (the rest of the prefix, or of the body in pieces
    // of at most chunkSize).
    std::pair<std::uint8_t*, std::size_t> Space();
    // n bytes were put at Space(). After any status but NeedMore and Whole the next bytes start a new prefix.
    Status Took(std::size_t n);
    bool InBody() const { return m_inBody; }
    const Bytes& Body() const { return m_body; }
    // Forgets the reply in progress and gives back a large body's memory.
    void Reset();

private:
    std::size_t m_maxBody;
    std::size_t m_chunkSize;
    std::uint8_t m_prefix[kPrefixSize] = {};
    std::size_t m_prefixGot = 0;
    bool m_inBody = false;
    Bytes m_body;
    std::size_t m_bodyGot = 0;
};

// Whether a reply body counts as a packet: at least 18 bytes, byte 0 is 0xFF and byte 17 is 0xFE.
bool IsAcceptedReply(const std::uint8_t* body, std::size_t size);
// The command code at offset 1 of an accepted body.
std::uint32_t ReplyCode(const std::uint8_t* body);

// A packet taken apart (for the server side and diagnostics); nullopt when the body is not an accepted packet.
struct PacketView {
    std::uint32_t code = 0;
    std::int32_t lengthField = 0;
    std::uint64_t sequence = 0;
    Bytes payload;  // every byte after the header, whatever the length field says
};
std::optional<PacketView> DecodePacket(const std::uint8_t* body, std::size_t size);

// Payloads of the handshake.
Bytes HelloPayload();
// Length byte, the port name cut to 6 characters and padded with zeros, 1 when the port is open.
Bytes PortStatusPayload(std::string_view comPort, bool portOpen);
Bytes FirstNumberPayload(std::int32_t firstNumber);
// Four 16-bit numbers read from a dotted version string ("2.5.0.17"); see VersionNumbers.
Bytes VersionPayload(std::string_view version);
// The version string consumed from the left three times up to a dot, the rest being the fourth number; no dot at
// all gives four zeros, a missing dot gives 0 for that place, a piece that is no integer gives 0, and an integer
// beyond 16 bits keeps its low 16 bits.
std::array<std::uint16_t, 4> VersionNumbers(std::string_view version);

}  // namespace drv::z8
