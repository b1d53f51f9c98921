#include "z8link/outboundring.h"

namespace drv::z8 {

std::size_t OutboundRing::Count() const {
    if (m_full) return kSlots;
    return (m_tail + kSlots - m_head) % kSlots;
}

bool OutboundRing::Put(QueuedPacket packet) {
    if (m_full) return false;
    m_slots[m_tail] = std::move(packet);
    m_tail = (m_tail + 1) % kSlots;
    if (m_tail == m_head) m_full = true;
    return true;
}

std::optional<QueuedPacket> OutboundRing::Peek() const {
    if (Empty()) return std::nullopt;
    return m_slots[m_head];
}

void OutboundRing::Remove() {
    if (Empty()) return;
    m_slots[m_head].reset();
    m_head = (m_head + 1) % kSlots;
    m_full = false;
}

}  // namespace drv::z8
