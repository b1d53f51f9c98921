#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/uniquefd.h"
#include "z7link/z7record.h"

namespace drv::z7 {

// One 555-byte piece the server received from the driver.
struct ReceivedPiece {
    int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
    Record bytes{};
};

// A Z7 message server on a loopback (or given) address: accepts connections (a new one replaces the one it
// serves), cuts what it receives into 555-byte pieces, and writes, closes or stops reading when told. Runs its
// own thread; every public method may be called from any thread.
class Z7Server {
public:
    // Binds and listens at once (port 0: any free port); throws std::runtime_error when it cannot.
    explicit Z7Server(int port = 0, const std::string& bindAddress = "127.0.0.1");
    ~Z7Server();
    Z7Server(const Z7Server&) = delete;
    Z7Server& operator=(const Z7Server&) = delete;

    int Port() const { return m_port; }

    // Writes bytes on the connection (the next one when there is none yet), in writes of the given sizes with a
    // short pause between them (empty: one write; the last part takes whatever is left).
    void Send(std::vector<std::uint8_t> bytes, std::vector<std::size_t> parts = {});
    // Closes the connection it serves (after what was sent before).
    void CloseConnection();
    // Stops or resumes reading: while it does not read, the driver's sends back up.
    void SetReading(bool on);
    // Called with every received piece, on the server's thread.
    void SetObserver(std::function<void(const ReceivedPiece&)> observer);
    // Called with the number of every accepted connection, on the server's thread.
    void SetConnectionObserver(std::function<void(int connection)> observer);

    std::vector<ReceivedPiece> Pieces() const;
    int ConnectionCount() const;
    // Whether a connection is being served.
    bool Serving() const;
    // Waits until pred(pieces) holds, at most timeoutMs; returns whether it held.
    bool WaitFor(const std::function<bool(const std::vector<ReceivedPiece>&)>& pred, int timeoutMs) const;
    bool WaitForConnections(int count, int timeoutMs) const;

    // Stops serving: closes the listening socket and any connection. Idempotent.
    void Stop();

private:
    struct Command {
        enum class Kind { Write, Close, Reading } kind = Kind::Write;
        std::vector<std::vector<std::uint8_t>> parts;
        bool reading = true;
    };

    void Run();
    void Post(Command command);
    void Execute(const Command& command);
    void DropConnection();
    void Wake();

    UniqueFd m_listen;
    UniqueFd m_wake;
    UniqueFd m_connection;                // server thread only
    std::vector<std::uint8_t> m_pending;  // server thread only
    int m_port = 0;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_reading = true;
    std::deque<Command> m_commands;
    std::function<void(const ReceivedPiece&)> m_observer;
    std::function<void(int)> m_connectionObserver;
    std::vector<ReceivedPiece> m_pieces;
    int m_connections = 0;
    bool m_serving = false;
};

}  // namespace drv::z7
