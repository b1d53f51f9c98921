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
    std::string spoolPath;         // the file the packet was read from (SpoolFile only)
    std::uint64_t sequence = 0;    // its sequence number: names the packet while it is queued or in flight
    std::uint32_t queuedTick = 0;  // when it was queued (link tick)
    bool durableAsked = false;     // a LiveEvent whose spool file is being written
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

    // Calls fn with every queued packet, oldest first; fn may change a packet in place.
    template <typename Fn>
    void ForEach(Fn&& fn) {
        for (std::size_t i = 0, n = Count(); i < n; ++i) fn(*m_slots[(m_head + i) % kSlots]);
    }
    template <typename Fn>
    void ForEach(Fn&& fn) const {
        for (std::size_t i = 0, n = Count(); i < n; ++i)
            fn(static_cast<const QueuedPacket&>(*m_slots[(m_head + i) % kSlots]));
    }
    // The oldest queued packet for which pred holds, or nullptr.
    template <typename Pred>
    QueuedPacket* Find(Pred&& pred) {
        for (std::size_t i = 0, n = Count(); i < n; ++i) {
            auto& slot = *m_slots[(m_head + i) % kSlots];
            if (pred(slot)) return &slot;
        }
        return nullptr;
    }

private:
    std::array<std::optional<QueuedPacket>, kSlots> m_slots;
    std::size_t m_head = 0;
    std::size_t m_tail = 0;
    bool m_full = false;
};

}  // namespace drv::z8
