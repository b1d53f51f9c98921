#include "core/spoolbacklog.h"

#include <utility>

namespace drv {

SpoolBacklog::Outcome SpoolBacklog::Store(Event event, const Writer& write) {
    if (m_events.empty() || (Retry(write), m_events.empty())) {
        m_lastError = write(event);
        if (m_lastError == 0) return Outcome::Written;
    }
    if (m_events.size() >= m_capacity) {
        ++m_refused;
        return Outcome::Refused;
    }
    m_events.push_back(std::move(event));
    return Outcome::Kept;
}

std::size_t SpoolBacklog::Retry(const Writer& write) {
    std::size_t written = 0;
    while (!m_events.empty()) {
        m_lastError = write(m_events.front());
        if (m_lastError != 0) break;
        m_events.pop_front();
        ++written;
    }
    return written;
}

std::vector<SpoolBacklog::Event> SpoolBacklog::Take(std::size_t n) {
    std::vector<Event> taken;
    while (!m_events.empty() && taken.size() < n) {
        taken.push_back(std::move(m_events.front()));
        m_events.pop_front();
    }
    return taken;
}

}  // namespace drv
