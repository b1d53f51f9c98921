#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drv::z8 {

// Where a queued packet comes from; it decides what happens when no accepted reply answers its frame.
enum class PacketOrigin : std::uint8_t {
    Link,       // the link's own packets and whatever else needs no confirmation
    LiveEvent,  // a station event routed live: handed back for spooling when it is not answered
    SpoolFile,  // a packet read from a spool file: its file is deleted when the server acknowledges this frame
};

// One queued packet with what the link needs to know about it.
struct QueuedPacket {
    std::vector<std::uint8_t> packet;  // header and payload
    PacketOrigin origin = PacketOrigin::Link;
    std::string spoolPath;  // the file the packet was read from (SpoolFile only)
};

// The queue of packets waiting to be sent: 100 slots, oldest first, all usable. Not synchronised: the owner
// serialises every call.
class OutboundRing {
public:
    static constexpr std::size_t kSlots = 100;

    bool Empty() const { return m_head == m_tail && !m_full; }
    bool Full() const { return m_full; }
    std::size_t Count() const;

    // Stores the packet at the tail; false (and nothing stored) when the ring is full.
    bool Put(QueuedPacket packet);
    // A copy of the oldest packet; nullopt when the ring is empty.
    std::optional<QueuedPacket> Peek() const;
    // Drops the oldest packet; nothing when the ring is empty.
    void Remove();

private:
    std::array<std::optional<QueuedPacket>, kSlots> m_slots;
    std::size_t m_head = 0;
    std::size_t m_tail = 0;
    bool m_full = false;
};

}  // namespace drv::z8
