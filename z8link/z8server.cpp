#include "z8link/z8server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/tcplisten.h"

namespace drv::z8 {

Bytes ReplyFrame(std::uint32_t code, std::uint64_t sequence) {
    return BuildFrame(BuildPacket(code, sequence, nullptr, 0));
}

std::string DescribeFrame(const ReceivedFrame& frame) {
    char line[256];
    std::string text;
    if (!frame.packet) {
        std::snprintf(line, sizeof line, "conn %d frame %zu: %zu body bytes, not a packet", frame.connection,
                      frame.index, frame.body.size());
        return line;
    }
    const auto& p = *frame.packet;
    std::snprintf(line, sizeof line, "conn %d frame %zu: code 0x%08X seq %llu len %d", frame.connection, frame.index,
                  p.code, static_cast<unsigned long long>(p.sequence), p.lengthField);
    text = line;
    if (p.code == kStationEvent && p.payload.size() >= 11) {
        const auto object = static_cast<std::int32_t>(GetU32(p.payload.data()));
        const std::string eventCode(reinterpret_cast<const char*>(&p.payload[5]), 2);
        std::snprintf(line, sizeof line, " station event: object %d event %s bytes %02X %02X", object,
                      eventCode.c_str(), p.payload[9], p.payload[10]);
        text += line;
    }
    if (!p.payload.empty()) {
        text += " payload";
        for (const auto b : p.payload) {
            std::snprintf(line, sizeof line, " %02X", b);
            text += line;
        }
    }
    return text;
}

Z8Server::Z8Server(int port, const std::string& bindAddress) {
    // Receive times for ReceivedFrame::arrivedAt; accepted connections inherit it, so their first bytes have one.
    m_listen = ListenTcp(bindAddress, port, m_port, [](int fd) {
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    });
    m_thread = std::thread([this] { Run(); });
}

Z8Server::~Z8Server() { Stop(); }

void Z8Server::Stop() {
    m_stop.Signal();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    m_listen.reset();
}

void Z8Server::SetBehaviour(const ServerBehaviour& behaviour) {
    std::lock_guard lock(m_mutex);
    m_behaviour = behaviour;
}

void Z8Server::SetScript(Script script) {
    std::lock_guard lock(m_mutex);
    m_script = std::move(script);
}

void Z8Server::PushAction(ServerAction action) {
    std::lock_guard lock(m_mutex);
    m_actions.push_back(std::move(action));
}

void Z8Server::SetObserver(std::function<void(const ReceivedFrame&)> observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

std::vector<ReceivedFrame> Z8Server::Frames() const {
    std::lock_guard lock(m_mutex);
    return m_frames;
}

int Z8Server::ConnectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool Z8Server::Idle() const {
    std::lock_guard lock(m_mutex);
    return !m_serving;
}

bool Z8Server::WaitFor(const std::function<bool(const std::vector<ReceivedFrame>&)>& pred, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(m_frames); });
}

bool Z8Server::WaitForConnections(int count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_connections >= count; });
}

void Z8Server::Run() {
    for (;;) {
        pollfd p[2] = {{m_listen.get(), POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        const int r = ::poll(p, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || p[1].revents != 0) return;
        UniqueFd fd(
            RetryEintr([&] { return ::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
        if (!fd) continue;
        int connection = 0;
        {
            std::lock_guard lock(m_mutex);
            connection = ++m_connections;
            m_serving = true;
        }
        m_changed.notify_all();
        Serve(std::move(fd), connection);
        {
            std::lock_guard lock(m_mutex);
            m_serving = false;
        }
        m_changed.notify_all();
        if (m_stop.IsSet()) return;
    }
}

bool Z8Server::ReadFull(int fd, std::uint8_t* into, std::size_t size,
                        std::optional<std::chrono::steady_clock::time_point>* arrived) {
    std::size_t got = 0;
    while (got < size) {
        iovec iov{into + got, size - got};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = RetryEintr([&] { return ::recvmsg(fd, &msg, 0); });
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); arrived != nullptr && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
                timespec kernel{};
                std::memcpy(&kernel, CMSG_DATA(c), sizeof kernel);
                // The kernel stamps with the wall clock: carried over to the steady clock through the present.
                timespec wall{};
                ::clock_gettime(CLOCK_REALTIME, &wall);
                const auto steadyNow = std::chrono::steady_clock::now();
                const auto age = std::chrono::seconds(wall.tv_sec - kernel.tv_sec) +
                                 std::chrono::nanoseconds(wall.tv_nsec - kernel.tv_nsec);
                *arrived = steadyNow - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
            }
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        pollfd p[2] = {{fd, POLLIN, 0}, {m_stop.fd(), POLLIN, 0}};
        if (RetryEintr([&] { return ::poll(p, 2, -1); }) < 0 || p[1].revents != 0) return false;
    }
    return true;
}

bool Z8Server::WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = RetryEintr([&] { return ::send(fd, data + done, size - done, MSG_NOSIGNAL); });
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        pollfd p[2] = {{fd, POLLOUT, 0}, {m_stop.fd(), POLLIN, 0}};
        if (RetryEintr([&] { return ::poll(p, 2, -1); }) < 0 || p[1].revents != 0) return false;
    }
    return true;
}

ServerAction Z8Server::Decide(const ReceivedFrame& frame) {
    std::unique_lock lock(m_mutex);
    if (!m_actions.empty()) {
        ServerAction action = std::move(m_actions.front());
        m_actions.pop_front();
        return action;
    }
    if (m_script) {
        auto script = m_script;
        lock.unlock();
        if (auto action = script(frame)) return *action;
        lock.lock();
    }
    ServerAction action;
    if (m_behaviour.silent) return action;
    action.delayMs = m_behaviour.replyDelayMs;
    if (m_behaviour.trickleMs > 0) {
        action.chunkSize = 1;
        action.chunkPauseMs = m_behaviour.trickleMs;
    }
    std::uint32_t code = m_behaviour.replyCode;
    if (frame.packet) {
        if (m_behaviour.ackEvents && frame.packet->code == kStationEvent) code = kEventAcknowledged;
        if (m_behaviour.pollAfterHello && frame.packet->code == kHello) code = kStartPolling;
    }
    action.bytes = ReplyFrame(code);
    return action;
}

void Z8Server::Serve(UniqueFd fd, int connection) {
    for (std::size_t index = 0;; ++index) {
        std::uint8_t prefix[kPrefixSize];
        if (!ReadFull(fd.get(), prefix, sizeof prefix)) return;
        const auto info = ParsePrefix(prefix);
        // The driver never sends more than a few hundred bytes; anything else is a broken peer.
        if (info.bodyLength < 0 || info.bodyLength > (1 << 24)) return;
        ReceivedFrame frame;
        frame.connection = connection;
        frame.index = index;
        frame.body.resize(static_cast<std::size_t>(info.bodyLength));
        if (!ReadFull(fd.get(), frame.body.data(), frame.body.size(), &frame.arrivedAt)) return;
        frame.packet = DecodePacket(frame.body.data(), frame.body.size());
        std::function<void(const ReceivedFrame&)> observer;
        {
            std::lock_guard lock(m_mutex);
            m_frames.push_back(frame);
            observer = m_observer;
        }
        m_changed.notify_all();
        if (observer) observer(frame);

        const ServerAction action = Decide(frame);
        if (action.delayMs > 0) {
            m_stop.Sleep(action.delayMs);
            if (m_stop.IsSet()) return;
        }
        if (action.closeBefore) return;
        const std::size_t chunk = action.chunkSize == 0 ? action.bytes.size() : action.chunkSize;
        for (std::size_t at = 0; at < action.bytes.size(); at += chunk) {
            if (at > 0 && action.chunkPauseMs > 0) m_stop.Sleep(action.chunkPauseMs);
            const std::size_t n = std::min(chunk, action.bytes.size() - at);
            if (!WriteAll(fd.get(), action.bytes.data() + at, n)) return;
        }
        if (action.closeAfter) return;
        if (action.stopReading) {
            pollfd p[2] = {{fd.get(), POLLRDHUP, 0}, {m_stop.fd(), POLLIN, 0}};
            RetryEintr([&] { return ::poll(p, 2, -1); });
            return;
        }
    }
}

}  // namespace drv::z8
