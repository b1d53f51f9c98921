#include "z8link/z8socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "core/metrics.h"

namespace drv::z8 {

namespace {

using Clock = std::chrono::steady_clock;

// Whole milliseconds to the deadline, rounded up: rounded down, the last fraction of a millisecond before a
// deadline would become no wait at all, and a waiter would spin until the deadline.
int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

StopSignal::StopSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

void StopSignal::Signal() {
    const std::uint64_t one = 1;
    // The counter only grows and is never read, so the descriptor stays readable for good.
    [[maybe_unused]] const auto r = RetryEintr([&] { return ::write(m_fd.get(), &one, sizeof one); });
}

bool StopSignal::IsSet() const {
    pollfd p{m_fd.get(), POLLIN, 0};
    return RetryEintr([&] { return ::poll(&p, 1, 0); }) > 0;
}

void StopSignal::Sleep(int ms) const {
    pollfd p{m_fd.get(), POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int r = ::poll(&p, 1, MsLeft(deadline));
        if (r >= 0 || errno != EINTR) return;
    }
}

WakeSignal::WakeSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

void WakeSignal::Signal() {
    const std::uint64_t one = 1;
    // Only fails when the counter would overflow, and then it is set anyway.
    [[maybe_unused]] const auto r = RetryEintr([&] { return ::write(m_fd.get(), &one, sizeof one); });
}

void WakeSignal::Clear() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto r = RetryEintr([&] { return ::read(m_fd.get(), &count, sizeof count); });
}

WorkWake WaitForWork(const StopSignal& stop, WakeSignal& wake, int watchFd, int timeoutMs) {
    pollfd p[3] = {{stop.fd(), POLLIN, 0}, {wake.fd(), POLLIN, 0}, {watchFd, POLLRDHUP, 0}};
    const nfds_t count = watchFd >= 0 ? 3 : 2;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int r = ::poll(p, count, timeoutMs < 0 ? -1 : MsLeft(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return WorkWake::Deadline;  // cannot happen with valid descriptors; the caller looks again
        }
        if (p[0].revents != 0) return WorkWake::Stopped;
        if (count == 3 && p[2].revents != 0) return WorkWake::PeerGone;
        if (p[1].revents != 0) {
            wake.Clear();
            return WorkWake::Woken;
        }
        if (r == 0) return WorkWake::Deadline;
    }
}

BlockingTcpClient::BlockingTcpClient(int connectTimeoutMs, int readTimeoutMs, int writeTimeoutMs,
                                     const StopSignal& stop, NameLookup::Resolver resolver)
    : m_connectTimeoutMs(connectTimeoutMs),
      m_readTimeoutMs(readTimeoutMs),
      m_writeTimeoutMs(writeTimeoutMs),
      m_stop(stop),
      m_resolver(std::move(resolver)) {}

int BlockingTcpClient::Wait(short events, int timeoutMs) {
    pollfd p[2] = {{m_fd.get(), events, 0}, {m_stop.fd(), POLLIN, 0}};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int r = ::poll(p, 2, MsLeft(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            m_lastError = errno;
            return -1;
        }
        if (p[1].revents != 0) return -1;
        if (r == 0) return 0;
        return 1;  // ready, or an error/hang-up condition that the next call reports
    }
}

bool BlockingTcpClient::Connect(const std::string& host, int port) {
    Close();
    m_peerClosed = false;
    if (port <= 0 || port > 65535) {
        m_lastError = EINVAL;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_connectTimeoutMs);
    std::vector<ResolvedAddress> addresses;
    {
        NameLookup lookup(host, port, AF_UNSPEC, m_resolver);
        pollfd p[2] = {{lookup.fd(), POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        while (!lookup.Done()) {
            const int r = ::poll(p, 2, MsLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || p[1].revents != 0) {
                m_lastError = r < 0 ? errno : ECANCELED;
                return false;
            }
            if (r == 0) {
                m_lastError = ETIMEDOUT;  // the lookup goes on alone; its answer is dropped
                return false;
            }
        }
        if (lookup.Error() != 0) {
            m_lastError = kErrorNameNotFound;
            return false;
        }
        addresses = lookup.Addresses();
    }
    bool connected = false;
    for (const ResolvedAddress& a : addresses) {
        UniqueFd fd(::socket(a.family, a.socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.protocol));
        if (!fd) {
            m_lastError = errno;
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr*>(&a.address);
        if (RetryEintr([&] { return ::connect(fd.get(), address, a.length); }) == 0) {
            m_fd = std::move(fd);
            connected = true;
            break;
        }
        if (errno != EINPROGRESS) {
            m_lastError = errno;
            continue;
        }
        m_fd = std::move(fd);
        const int w = Wait(POLLOUT, MsLeft(deadline));
        int soError = 0;
        socklen_t len = sizeof soError;
        if (w == 1 && ::getsockopt(m_fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
            connected = true;
        } else {
            m_lastError = w == 0 ? ETIMEDOUT : (soError != 0 ? soError : m_lastError);
            m_fd.reset();
            if (w != 1) break;  // time-out or stop: no time left for another address
        }
    }
    if (connected) {
        const int one = 1;
        ::setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return connected;
}

bool BlockingTcpClient::Write(const std::uint8_t* data, std::size_t size) {
    if (!m_fd || m_peerClosed) return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = RetryEintr([&] { return ::send(m_fd.get(), data + done, size - done, MSG_NOSIGNAL); });
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Wait(POLLOUT, m_writeTimeoutMs) != 1) return false;
            continue;
        }
        m_lastError = n < 0 ? errno : EPIPE;
        return false;
    }
    return true;
}

ReadResult BlockingTcpClient::Read(std::uint8_t* into, std::size_t k, int maxWaitMs) {
    ReadResult result;
    if (!m_fd || m_peerClosed) return result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxWaitMs < 0 ? 0 : maxWaitMs);
    while (result.count < k) {
        const ssize_t n = RetryEintr([&] { return ::recv(m_fd.get(), into + result.count, k - result.count, 0); });
        if (n > 0) {
            result.count += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            m_peerClosed = true;
            result.status = ReadStatus::Closed;
            return result;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_lastError = errno;
            m_peerClosed = true;
            result.status = ReadStatus::Closed;
            return result;
        }
        const int wait = maxWaitMs < 0 ? m_readTimeoutMs : std::min(m_readTimeoutMs, MsLeft(deadline));
        const int w = wait > 0 ? Wait(POLLIN, wait) : 0;
        if (w == 0) {
            result.status = ReadStatus::Timeout;
            return result;
        }
        if (w < 0) {
            result.status = m_stop.IsSet() ? ReadStatus::Stopped : ReadStatus::Closed;
            return result;
        }
    }
    result.status = ReadStatus::Complete;
    return result;
}

void BlockingTcpClient::Close() { m_fd.reset(); }

}  // namespace drv::z8
