#include "app/httpresponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr int kListenBacklog = 64;
constexpr int kAcceptsPerWake = 64;  // then back to the event loop: the station and the links come first
constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kLongestBackoff{2000};
// After an answer that closes the connection: what the peer still sends (a body not read) is taken and dropped
// for at most this long and this much, so that the close does not reset the answer away before it is read.
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr std::size_t kLingerBytes = 1 << 20;

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Error";
    }
}

const QByteArray kTextPlain = "text/plain; charset=utf-8";

HttpResponder::Answer Plain(const char* text) { return {kTextPlain, QByteArray(text)}; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, word.size()), word)) return true;
    }
    return false;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// One request's head, as far as the answer depends on it.
struct Head {
    bool valid = false;
    std::string method;
    std::string path;
    bool http10 = false;
    bool body = false;        // Content-Length above 0 or any Transfer-Encoding
    bool wantsClose = false;  // Connection: close
};

Head ParseHead(std::string_view head) {
    Head h;
    std::size_t lineEnd = head.find('\n');
    const std::string_view requestLine = Trimmed(head.substr(0, lineEnd));
    const std::size_t sp1 = requestLine.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return h;
    const std::string_view version = requestLine.substr(sp2 + 1);
    if (!version.starts_with("HTTP/1.")) return h;
    h.method = std::string(requestLine.substr(0, sp1));
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    h.path = std::string(target);
    h.http10 = version == "HTTP/1.0";
    while (lineEnd != std::string_view::npos && lineEnd + 1 < head.size()) {
        const std::size_t start = lineEnd + 1;
        lineEnd = head.find('\n', start);
        const std::string_view line = head.substr(start, lineEnd == std::string_view::npos ? lineEnd : lineEnd - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = Trimmed(line.substr(0, colon));
        const std::string_view value = Trimmed(line.substr(colon + 1));
        if (EqualsNoCase(name, "content-length")) {
            if (value.find_first_not_of('0') != std::string_view::npos) h.body = true;
        } else if (EqualsNoCase(name, "transfer-encoding")) {
            h.body = true;
        } else if (EqualsNoCase(name, "connection")) {
            if (ContainsNoCase(value, "close")) h.wantsClose = true;
        }
    }
    h.valid = !h.method.empty() && !h.path.empty();
    return h;
}

// Where the head of the request in buffer ends (past its empty line), or npos while it is incomplete.
std::size_t HeadEnd(const std::string& buffer) {
    const std::size_t crlf = buffer.find("\r\n\r\n");
    const std::size_t lf = buffer.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
    return lf + 2;
}

}  // namespace

HttpResponder::HttpResponder(QObject* parent)
    : QObject(parent), m_acceptRetry(new QTimer(this)), m_deadlineTimer(new QTimer(this)) {
    m_acceptRetry->setSingleShot(true);
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        if (m_acceptNotifier != nullptr) m_acceptNotifier->setEnabled(true);
        AcceptPending();
    });
    m_deadlineTimer->setSingleShot(true);
    m_deadlineTimer->setTimerType(Qt::CoarseTimer);
    connect(m_deadlineTimer, &QTimer::timeout, this, &HttpResponder::ExpireDeadlines);
}

HttpResponder::~HttpResponder() = default;

void HttpResponder::Handle(const std::string& path, Source source) { m_sources[path] = std::move(source); }

int HttpResponder::Listen(const std::string& address, std::uint16_t port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (EqualsNoCase(address, "localhost") || ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        if (EqualsNoCase(address, "localhost")) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
    } else {
        return EINVAL;
    }
    drv::UniqueFd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) return errno;
    if (::listen(fd.get(), kListenBacklog) != 0) return errno;
    socklen_t got = sizeof storage;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &got) != 0) return errno;
    m_port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    m_listen = std::move(fd);
    m_acceptNotifier = new QSocketNotifier(m_listen.get(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &HttpResponder::AcceptPending);
    return 0;
}

void HttpResponder::AcceptPending() {
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        const int fd = ::accept4(m_listen.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            // Out of descriptors or memory (or anything else the listening socket reports): the connection stays
            // waiting in the kernel's queue, and accepting waits, longer each time, instead of failing again at once.
            const int error = errno;
            m_backoff = m_backoff.count() == 0 ? kFirstBackoff : std::min(m_backoff * 2, kLongestBackoff);
            // Told at most once a minute: a limit reached again and again is one state, not news each time.
            const auto now = Clock::now();
            if (!m_toldBackoff || now - m_toldBackoffAt >= std::chrono::minutes(1)) {
                std::fprintf(stderr,
                             "drvorvel: the metrics endpoint cannot accept connections (%s); it waits up to %lld ms "
                             "between attempts until it can\n",
                             std::strerror(error), static_cast<long long>(kLongestBackoff.count()));
                std::fflush(stderr);
                m_toldBackoff = true;
                m_toldBackoffAt = now;
            }
            m_acceptNotifier->setEnabled(false);
            m_acceptRetry->start(m_backoff);
            return;
        }
        m_backoff = std::chrono::milliseconds{0};
        if (m_connections.size() >= kMaxConnections) {
            ::close(fd);  // enough at once: the peer may try again
            continue;
        }
        const std::uint64_t id = m_nextId++;
        Connection& c = m_connections[id];
        c.fd.reset(fd);
        c.deadline = Clock::now() + kRequestDeadline;
        c.readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(c.readable, &QSocketNotifier::activated, this, [this, id] { Readable(id); });
        c.writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        c.writable->setEnabled(false);
        connect(c.writable, &QSocketNotifier::activated, this, [this, id] { Writable(id); });
    }
    ArmDeadlines();
}

void HttpResponder::Readable(std::uint64_t id) {
    const auto it = m_connections.find(id);
    if (it == m_connections.end()) return;
    Connection& c = it->second;
    char buffer[4096];
    for (;;) {
        const ssize_t n = drv::RetryEintr([&] { return ::recv(c.fd.get(), buffer, sizeof buffer, 0); });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            Drop(id);  // the peer closed, or the connection failed
            return;
        }
        if (c.phase == Phase::Lingering) {
            c.written += static_cast<std::size_t>(n);  // counts what was dropped
            if (c.written > kLingerBytes) {
                Drop(id);
                return;
            }
            continue;
        }
        if (c.idle) {
            c.idle = false;
            c.deadline = Clock::now() + kRequestDeadline;
        }
        const std::size_t room = kMaxRequestBytes + 1 - std::min(c.in.size(), kMaxRequestBytes + 1);
        c.in.append(buffer, std::min(static_cast<std::size_t>(n), room));
        if (HeadEnd(c.in) != std::string::npos || c.in.size() > kMaxRequestBytes) break;
    }
    if (c.phase == Phase::Reading) AnswerWaitingRequest(c);
    if (m_connections.count(id) != 0 && c.phase == Phase::Writing && WriteSome(c)) FinishAnswer(id);
    ArmDeadlines();
}

void HttpResponder::AnswerWaitingRequest(Connection& c) {
    const std::size_t end = HeadEnd(c.in);
    if (end == std::string::npos) {
        if (c.in.size() > kMaxRequestBytes) {
            StartAnswer(c, 431, Plain("the request line and headers are too long\n"), true);
        }
        return;
    }
    if (end > kMaxRequestBytes) {
        StartAnswer(c, 431, Plain("the request line and headers are too long\n"), true);
        return;
    }
    const Head head = ParseHead(std::string_view(c.in).substr(0, end));
    c.in.erase(0, end);
    if (!head.valid) {
        StartAnswer(c, 400, Plain("bad request\n"), true);
        return;
    }
    const bool closeAfter = head.body || head.http10 || head.wantsClose;
    const auto source = m_sources.find(head.path);
    if (source == m_sources.end()) {
        StartAnswer(c, 404, Plain("not found: the driver answers GET /metrics and GET /status\n"), closeAfter);
    } else if (head.method != "GET") {
        StartAnswer(c, 405, Plain("only GET is answered here\n"), true, "Allow: GET\r\n");
    } else if (head.body) {
        StartAnswer(c, 413, Plain("a request body is not taken here\n"), true);
    } else {
        StartAnswer(c, 200, source->second(), closeAfter);
    }
}

void HttpResponder::StartAnswer(Connection& c, int status, const Answer& answer, bool closeAfter,
                                const char* extraHeader) {
    // A body not read stays unread: nothing after this head can be told from it, so the connection ends.
    if (closeAfter) c.in.clear();
    c.closeAfter = closeAfter;
    c.out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
            "\r\nContent-Type: " + answer.contentType.toStdString() +
            "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n" + extraHeader +
            (closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n") + "\r\n";
    c.out.append(answer.body.constData(), static_cast<std::size_t>(answer.body.size()));
    c.written = 0;
    c.phase = Phase::Writing;
    c.readable->setEnabled(false);  // the next request waits in the kernel until this answer is out
}

bool HttpResponder::WriteSome(Connection& c) {
    while (c.written < c.out.size()) {
        const ssize_t n = drv::RetryEintr([&] {
            return ::send(c.fd.get(), c.out.data() + c.written, c.out.size() - c.written, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.writable->setEnabled(true);
            return false;
        }
        if (n <= 0) {
            c.written = c.out.size();
            c.closeAfter = true;  // the peer is gone: nothing more to write or to read
            c.phase = Phase::Lingering;
            return true;
        }
        c.written += static_cast<std::size_t>(n);
    }
    return true;
}

void HttpResponder::Writable(std::uint64_t id) {
    const auto it = m_connections.find(id);
    if (it == m_connections.end()) return;
    if (WriteSome(it->second)) FinishAnswer(id);
    ArmDeadlines();
}

void HttpResponder::FinishAnswer(std::uint64_t id) {
    Connection& c = m_connections.at(id);
    c.writable->setEnabled(false);
    std::string().swap(c.out);
    if (c.closeAfter) {
        if (c.phase == Phase::Lingering || ::shutdown(c.fd.get(), SHUT_WR) != 0) {
            Drop(id);
            return;
        }
        c.phase = Phase::Lingering;
        c.written = 0;
        c.deadline = std::min(c.deadline, Clock::now() + kLingerTime);
        c.readable->setEnabled(true);
        return;
    }
    c.phase = Phase::Reading;
    c.idle = c.in.empty();
    c.deadline = Clock::now() + (c.idle ? kIdleDeadline : kRequestDeadline);
    c.readable->setEnabled(true);
    if (!c.idle) {
        AnswerWaitingRequest(c);  // a request sent right behind the last one
        if (c.phase == Phase::Writing && WriteSome(c)) FinishAnswer(id);
    }
}

void HttpResponder::Drop(std::uint64_t id) {
    const auto it = m_connections.find(id);
    if (it == m_connections.end()) return;
    // The notifiers may be the very ones whose signal runs now: they go when the event loop has them back.
    for (QSocketNotifier* n : {it->second.readable, it->second.writable}) {
        n->setEnabled(false);
        n->deleteLater();
    }
    m_connections.erase(it);
    if (m_acceptNotifier != nullptr && !m_acceptRetry->isActive()) m_acceptNotifier->setEnabled(true);
}

void HttpResponder::ArmDeadlines() {
    if (m_connections.empty()) {
        m_deadlineTimer->stop();
        return;
    }
    Clock::time_point first = Clock::time_point::max();
    for (const auto& [id, c] : m_connections) first = std::min(first, c.deadline);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now());
    m_deadlineTimer->start(std::max(wait, std::chrono::milliseconds{0}));
}

void HttpResponder::ExpireDeadlines() {
    const auto now = Clock::now();
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        const auto next = std::next(it);
        if (it->second.deadline <= now) Drop(it->first);
        it = next;
    }
    ArmDeadlines();
}
