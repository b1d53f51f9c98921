#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/uniquefd.h"
#include "z8link/z8codec.h"
#include "z8link/z8socket.h"

namespace drv::z8 {

// One frame the server received from the driver.
struct ReceivedFrame {
    int connection = 0;     // 1 for the first connection accepted, 2 for the next, ...
    std::size_t index = 0;  // 0 for the first frame of its connection
    Bytes body;
    std::optional<PacketView> packet;  // the body taken apart, when it is an accepted packet
    // When the frame's last bytes reached the server's socket (the kernel's receive time, on the steady clock), so
    // that a late wake-up of the server's thread does not count; nullopt when the kernel did not say.
    std::optional<std::chrono::steady_clock::time_point> arrivedAt;
};

// What the server does in answer to one frame.
struct ServerAction {
    Bytes bytes;                // written after the delay (nothing when empty)
    int delayMs = 0;            // before writing
    std::size_t chunkSize = 0;  // write in pieces of this size (0: at once) ...
    int chunkPauseMs = 0;       // ... with this pause between them
    bool closeBefore = false;   // close the connection instead of writing
    bool closeAfter = false;    // close the connection once written
    bool stopReading = false;   // once written, read nothing more on this connection until the peer closes it
};

// The standing behaviour: how every frame is answered unless a script says otherwise.
struct ServerBehaviour {
    bool ackEvents = false;           // a station event is answered with 0x03000021
    bool pollAfterHello = false;      // the hello is answered with 0x02000003
    int replyDelayMs = 0;             // every answer comes this late
    int trickleMs = 0;                // every answer is written one byte at a time, this long apart
    bool silent = false;              // never answer
    std::uint32_t replyCode = kPoll;  // the code of every other answer
};

// A reply frame as a server writes it: the prefix with N at offsets 5 and 17 and an 18-byte packet.
Bytes ReplyFrame(std::uint32_t code, std::uint64_t sequence = 0);
// One line describing a received frame: code, sequence number, payload; station events decoded into object number,
// event code and the two passed-on bytes.
std::string DescribeFrame(const ReceivedFrame& frame);

// A Z8 server on a loopback (or given) address: accepts one connection at a time, reads every frame and answers
// it. Runs its own thread; every public method may be called from any thread.
class Z8Server {
public:
    // Decides the answer to one frame; nullopt leaves it to the standing behaviour.
    using Script = std::function<std::optional<ServerAction>(const ReceivedFrame&)>;

    // Binds and listens at once (port 0: any free port); throws std::runtime_error when it cannot.
    explicit Z8Server(int port = 0, const std::string& bindAddress = "127.0.0.1");
    ~Z8Server();
    Z8Server(const Z8Server&) = delete;
    Z8Server& operator=(const Z8Server&) = delete;

    int Port() const { return m_port; }

    void SetBehaviour(const ServerBehaviour& behaviour);
    void SetScript(Script script);
    // The next frame (of any connection) is answered with this action instead; actions queue up in order.
    void PushAction(ServerAction action);
    // Called with every received frame, on the server's thread.
    void SetObserver(std::function<void(const ReceivedFrame&)> observer);

    std::vector<ReceivedFrame> Frames() const;
    int ConnectionCount() const;
    // True when the connection the server serves has been closed by either side (or none was made yet).
    bool Idle() const;
    // Waits until pred(frames) holds, at most timeoutMs; returns whether it held.
    bool WaitFor(const std::function<bool(const std::vector<ReceivedFrame>&)>& pred, int timeoutMs) const;
    bool WaitForConnections(int count, int timeoutMs) const;

    // Stops serving: closes the listening socket and any connection. Idempotent.
    void Stop();

private:
    void Run();
    void Serve(UniqueFd fd, int connection);
    // arrived: the kernel's receive time of the last bytes read, when it gives one.
    bool ReadFull(int fd, std::uint8_t* into, std::size_t size,
                  std::optional<std::chrono::steady_clock::time_point>* arrived = nullptr);
    bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);
    ServerAction Decide(const ReceivedFrame& frame);

    StopSignal m_stop;
    UniqueFd m_listen;
    int m_port = 0;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    ServerBehaviour m_behaviour;
    Script m_script;
    std::deque<ServerAction> m_actions;
    std::function<void(const ReceivedFrame&)> m_observer;
    std::vector<ReceivedFrame> m_frames;
    int m_connections = 0;
    bool m_serving = false;
};

}  // namespace drv::z8
