#include "serial/linereader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "platform/tick.h"

namespace drv {

bool LineReader::Start(int fd) {
    Stop();
    UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    UniqueFd stop(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake || !stop) return false;
    m_wake = std::move(wake);
    m_stop = std::move(stop);
    m_failure = 0;
    m_signalled = false;
    try {
        m_thread = std::thread([this, fd] { Run(fd); });
    } catch (const std::system_error& e) {
        errno = e.code().value();
        m_wake.reset();
        m_stop.reset();
        return false;
    }
    return true;
}

void LineReader::Stop() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(m_stop.get(), &one, sizeof one);
        m_thread.join();
    }
    m_wake.reset();
    m_stop.reset();
    m_bytes.clear();
    m_arrivals.clear();
    m_failure = 0;
    m_signalled = false;
}

void LineReader::Signal() {
    if (m_signalled) return;
    const std::uint64_t one = 1;
    if (::write(m_wake.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one)) m_signalled = true;
}

void LineReader::Run(int fd) {
    std::uint8_t buf[4096];
    bool reading = true;   // false once the device hung up: only the stop is awaited
    bool resting = false;  // a failed read or a full queue: the device is left alone for kRestMs
    for (;;) {
        const bool watch = reading && !resting;
        pollfd p[2] = {{m_stop.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = ::poll(p, watch ? 2 : 1, watch || !reading ? -1 : kRestMs);
        if (n < 0 && errno != EINTR) return;
        if (p[0].revents != 0) return;
        if (!watch) {
            resting = false;
            continue;
        }
        if (n <= 0) continue;
        std::lock_guard lock(m_mutex);
        if (m_bytes.size() >= kCapacity) {
            resting = true;  // the owner is behind: the device keeps the rest meanwhile
            continue;
        }
        const std::size_t room = std::min(sizeof buf, kCapacity - m_bytes.size());
        const ssize_t r = ::read(fd, buf, room);
        if (r > 0) {
            const std::uint32_t tick = m_clock.Tick();
            m_bytes.insert(m_bytes.end(), buf, buf + r);
            m_arrivals.push_back({tick, static_cast<std::uint32_t>(r)});
            Signal();
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        m_failure = r < 0 ? errno : EIO;
        Signal();
        const bool hungUp = r == 0 || (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 || m_failure == EIO ||
                            m_failure == ENXIO || m_failure == ENODEV || m_failure == EBADF;
        // A hung-up descriptor never reads again: the owner releases it.
        if (hungUp) {
            reading = false;
        } else {
            resting = true;
        }
    }
}

std::size_t LineReader::Take(std::uint8_t* buffer, std::size_t room, std::vector<Arrival>& arrivals) {
    std::lock_guard lock(m_mutex);
    std::size_t moved = 0;
    while (!m_arrivals.empty() && moved < room) {
        Arrival& a = m_arrivals.front();
        const std::size_t n = std::min<std::size_t>(a.size, room - moved);
        std::copy_n(m_bytes.begin(), n, buffer + moved);
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(n));
        arrivals.push_back({a.tick, static_cast<std::uint32_t>(n), a.continued});
        moved += n;
        if (n == a.size) {
            m_arrivals.pop_front();
        } else {
            a.size -= static_cast<std::uint32_t>(n);
            a.continued = true;
        }
    }
    if (m_arrivals.empty() && m_failure == 0 && m_signalled) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(m_wake.get(), &count, sizeof count);
        m_signalled = false;
    }
    return moved;
}

int LineReader::TakeFailure() {
    std::lock_guard lock(m_mutex);
    const int failure = std::exchange(m_failure, 0);
    if (failure != 0 && m_arrivals.empty() && m_signalled) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(m_wake.get(), &count, sizeof count);
        m_signalled = false;
    }
    return failure;
}

bool LineReader::Discard(const std::function<bool()>& flush) {
    std::lock_guard lock(m_mutex);
    const bool ok = flush();
    m_bytes.clear();
    m_arrivals.clear();
    return ok;
}

}  // namespace drv
