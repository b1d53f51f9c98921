#pragma once

#include <QByteArray>
#include <QObject>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/uniquefd.h"

class QSocketNotifier;
class QTimer;

// A small HTTP/1.1 responder for a few fixed GET paths, over the platform's sockets, on the thread that creates it
// (its socket notifications and timers run in that thread's event loop; nothing in it blocks).
//
// Built so that no peer can make it cost the driver more than its limits: at most kMaxConnections connections at
// once (a connection beyond them is closed at once), a deadline for each request from its first byte (or from the
// connection's start) to the end of its answer, an idle deadline for kept-alive connections, a request line with
// headers of at most kMaxRequestBytes, and no body: a request that carries one is answered (413 for GET, 405 for
// other methods) without the body being read, and the connection closed. Its memory is thus bounded by those
// limits and the size of the answers. When accept fails for lack of descriptors (or memory), it stops accepting
// for a while instead of trying again at once, and says so on standard error (at most once a minute): the driver's
// station, links and spool need descriptors more than a scrape does.
class HttpResponder : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxConnections = 16;
    static constexpr std::size_t kMaxRequestBytes = 8192;
    static constexpr std::chrono::milliseconds kRequestDeadline{5000};
    static constexpr std::chrono::milliseconds kIdleDeadline{15000};

    struct Answer {
        QByteArray contentType;
        QByteArray body;
    };
    // Makes the answer of one GET, at the moment it is asked.
    using Source = std::function<Answer()>;

    explicit HttpResponder(QObject* parent = nullptr);
    ~HttpResponder() override;

    // Answers GET path (the part before any '?') from source. Other methods on it give 405, other paths 404.
    void Handle(const std::string& path, Source source);

    // Listens on address (an IPv4 or IPv6 address in text, or "localhost") and port (0: one the system picks).
    // 0 when listening, else the errno of the step that failed (EINVAL: the address does not parse).
    int Listen(const std::string& address, std::uint16_t port);
    // The port listened on, 0 when not listening.
    std::uint16_t Port() const { return m_port; }
    // The connections open at this moment.
    std::size_t Connections() const { return m_connections.size(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Reading, Writing, Lingering };
    struct Connection {
        drv::UniqueFd fd;
        QSocketNotifier* readable = nullptr;
        QSocketNotifier* writable = nullptr;
        std::string in;   // request bytes not yet answered, at most kMaxRequestBytes
        std::string out;  // the answer being written
        std::size_t written = 0;
        Phase phase = Phase::Reading;
        bool closeAfter = false;  // no further request on this connection
        bool idle = true;         // no byte of the next request has come yet
        Clock::time_point deadline;
    };

    void AcceptPending();
    void Readable(std::uint64_t id);
    void Writable(std::uint64_t id);
    void AnswerWaitingRequest(Connection& c);
    void StartAnswer(Connection& c, int status, const Answer& answer, bool closeAfter, const char* extraHeader = "");
    bool WriteSome(Connection& c);
    void FinishAnswer(std::uint64_t id);
    void Drop(std::uint64_t id);
    void ArmDeadlines();
    void ExpireDeadlines();

    std::map<std::string, Source> m_sources;
    drv::UniqueFd m_listen;
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer* m_acceptRetry = nullptr;
    QTimer* m_deadlineTimer = nullptr;
    std::chrono::milliseconds m_backoff{0};
    bool m_toldBackoff = false;
    std::chrono::steady_clock::time_point m_toldBackoffAt;
    std::uint16_t m_port = 0;
    std::uint64_t m_nextId = 1;
    std::map<std::uint64_t, Connection> m_connections;
};
