#include "z7link/z7server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/tcplisten.h"

namespace drv::z7 {
namespace {

constexpr int kPartPauseMs = 50;

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = RetryEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Z7Server::Z7Server(int port, const std::string& bindAddress) {
    m_wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wake) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    m_listen = ListenTcp(bindAddress, port, m_port);
    m_thread = std::thread([this] { Run(); });
}

Z7Server::~Z7Server() { Stop(); }

void Z7Server::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
}

void Z7Server::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto r = RetryEintr([&] { return ::write(m_wake.get(), &one, sizeof one); });
}

void Z7Server::Post(Command command) {
    {
        std::lock_guard lock(m_mutex);
        m_commands.push_back(std::move(command));
    }
    Wake();
}

void Z7Server::Send(std::vector<std::uint8_t> bytes, std::vector<std::size_t> parts) {
    Command c;
    std::size_t at = 0;
    for (const std::size_t size : parts) {
        if (at >= bytes.size()) break;
        const std::size_t n = std::min(size, bytes.size() - at);
        c.parts.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    if (at < bytes.size()) c.parts.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    Post(std::move(c));
}

void Z7Server::CloseConnection() { Post(Command{Command::Kind::Close, {}, true}); }

void Z7Server::SetReading(bool on) { Post(Command{Command::Kind::Reading, {}, on}); }

void Z7Server::SetObserver(std::function<void(const ReceivedPiece&)> observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void Z7Server::SetConnectionObserver(std::function<void(int)> observer) {
    std::lock_guard lock(m_mutex);
    m_connectionObserver = std::move(observer);
}

std::vector<ReceivedPiece> Z7Server::Pieces() const {
    std::lock_guard lock(m_mutex);
    return m_pieces;
}

int Z7Server::ConnectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool Z7Server::Serving() const {
    std::lock_guard lock(m_mutex);
    return m_serving;
}

bool Z7Server::WaitFor(const std::function<bool(const std::vector<ReceivedPiece>&)>& pred, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(m_pieces); });
}

bool Z7Server::WaitForConnections(int count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_connections >= count; });
}

void Z7Server::DropConnection() {
    m_connection.reset();
    m_pending.clear();
    std::lock_guard lock(m_mutex);
    m_serving = false;
    m_changed.notify_all();
}

void Z7Server::Execute(const Command& command) {
    switch (command.kind) {
        case Command::Kind::Write:
            for (std::size_t i = 0; i < command.parts.size(); ++i) {
                if (i > 0) ::poll(nullptr, 0, kPartPauseMs);
                if (!WriteAll(m_connection.get(), command.parts[i].data(), command.parts[i].size())) {
                    DropConnection();
                    return;
                }
            }
            break;
        case Command::Kind::Close:
            DropConnection();
            break;
        case Command::Kind::Reading:
            break;
    }
}

void Z7Server::Run() {
    for (;;) {
        bool reading = false;
        bool haveCommand = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) break;
            // A change of reading takes effect at once; writes and closes wait for a connection.
            while (!m_commands.empty() && m_commands.front().kind == Command::Kind::Reading) {
                m_reading = m_commands.front().reading;
                m_commands.pop_front();
            }
            reading = m_reading;
            haveCommand = !m_commands.empty() && m_connection;
        }
        if (haveCommand) {
            Command c;
            {
                std::lock_guard lock(m_mutex);
                c = std::move(m_commands.front());
                m_commands.pop_front();
            }
            Execute(c);
            continue;
        }
        pollfd fds[3] = {{m_wake.get(), POLLIN, 0}, {m_listen.get(), POLLIN, 0}, {-1, 0, 0}};
        if (m_connection) fds[2] = {m_connection.get(), static_cast<short>(reading ? POLLIN : 0), 0};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t value = 0;
            [[maybe_unused]] const auto r = ::read(m_wake.get(), &value, sizeof value);
        }
        if (fds[1].revents & POLLIN) {
            UniqueFd accepted(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted) {
                // A driver that stops reading must not hold the server's thread (and Stop) in a write for ever.
                const timeval limit{5, 0};
                ::setsockopt(accepted.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                m_connection = std::move(accepted);
                m_pending.clear();
                std::function<void(int)> observer;
                int number = 0;
                {
                    std::lock_guard lock(m_mutex);
                    number = ++m_connections;
                    m_serving = true;
                    observer = m_connectionObserver;
                    m_changed.notify_all();
                }
                if (observer) observer(number);
            }
        }
        if (m_connection && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::uint8_t buffer[4096];
            const ssize_t n =
                RetryEintr([&] { return ::recv(m_connection.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                DropConnection();
                continue;
            }
            if (n < 0) continue;
            const auto pieces = CutRecords(m_pending, buffer, static_cast<std::size_t>(n));
            std::function<void(const ReceivedPiece&)> observer;
            int connection = 0;
            {
                std::lock_guard lock(m_mutex);
                observer = m_observer;
                connection = m_connections;
            }
            for (const auto& piece : pieces) {
                const ReceivedPiece received{connection, piece};
                if (observer) observer(received);
                std::lock_guard lock(m_mutex);
                m_pieces.push_back(received);
                m_changed.notify_all();
            }
        }
    }
    m_connection.reset();
    m_listen.reset();
    std::lock_guard lock(m_mutex);
    m_serving = false;
    m_changed.notify_all();
}

}  // namespace drv::z7
