#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace drv {

// Events whose spool file could not be written, kept in memory, oldest first, until a write succeeds. Bounded:
// beyond its capacity the newest events are refused and counted. Not synchronised: main thread only.
class SpoolBacklog {
public:
    struct Event {
        std::uint32_t code = 0;
        std::vector<std::uint8_t> payload;
    };
    // Stores one event durably; 0 on success, else the errno of the failure.
    using Writer = std::function<int(const Event&)>;

    static constexpr std::size_t kDefaultCapacity = 100000;

    explicit SpoolBacklog(std::size_t capacity = kDefaultCapacity) : m_capacity(capacity) {}

    enum class Outcome { Written, Kept, Refused };
    // Writes the event behind those already waiting, so that files keep the events' order: the waiting ones are
    // retried first, and the event is written only when none is left waiting; otherwise it waits too (or is
    // refused when the backlog is full).
    Outcome Store(Event event, const Writer& write);
    // Writes waiting events, oldest first, until one fails. Returns how many were written.
    std::size_t Retry(const Writer& write);
    // Takes up to n of the oldest waiting events out (to be sent some other way).
    std::vector<Event> Take(std::size_t n);

    std::size_t Waiting() const { return m_events.size(); }
    int LastError() const { return m_lastError; }
    // Refused events since the last call.
    std::size_t TakeRefusedCount() { return std::exchange(m_refused, 0); }

private:
    std::size_t m_capacity;
    std::deque<Event> m_events;
    std::size_t m_refused = 0;
    int m_lastError = 0;
};

}  // namespace drv
