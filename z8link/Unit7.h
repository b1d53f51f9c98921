#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/datetime.h"
#include "platform/tick.h"
#include "z8link/outboundring.h"
#include "z8link/z8codec.h"
#include "z8link/z8socket.h"

namespace drv {

// What the Z8 link thread asks of the rest of the driver. Every method is called on the link thread.
class Z8LinkHost {
public:
    struct HandshakeValues {
        std::string comPort;  // the configured port name, such as "COM3"
        std::int32_t firstNumber = 0;
        bool portOpen = false;
    };

    virtual ~Z8LinkHost() = default;

    // Appends one line to the link log on the main thread. Blocks until that is done, or until the host has been
    // released for shutdown (then the line is dropped).
    virtual void LogLine(const std::string& text) = 0;
    // Advances the Z8 indicator one phase and redraws it on the main thread; blocks like LogLine.
    virtual void IndicatorStep() = 0;
    // The values the handshake reports; blocks like LogLine. nullopt once the host has been released.
    virtual std::optional<HandshakeValues> ReadHandshakeValues() = 0;
    // The spool file that forwarding last handed to the link. Must not block on the main thread.
    virtual std::string ForwardedSpoolPath() = 0;
    // Must not block on the main thread.
    virtual void SetLastForwardTime(TDateTime value) = 0;
    // A live station event that got no accepted reply. The host must keep it (spool it) even during shutdown;
    // must not block on the main thread.
    virtual void ReturnUndelivered(std::uint32_t code, std::vector<std::uint8_t> payload) = 0;
    // The server acknowledged the packet of this spool file, and the link has deleted the file (when it still
    // existed) and ended the forwarding spacing. The host passes the news on (forwarding may hand over the next
    // file at once); must not block on the main thread.
    virtual void SpoolFileAcknowledged(const std::string& /*path*/) {}
};

// The intervals and limits of the link. The program uses the defaults; tests shorten them.
struct Z8LinkTimings {
    std::uint32_t attemptIntervalMs = 5000;  // between the starts of two connection attempts
    int connectTimeoutMs = 2500;
    int readTimeoutMs = 1000;  // longest wait for further bytes within one read
    std::uint32_t pollIntervalMs = 500;
    int stepSleepMs = 1;
    int writeTimeoutMs = 10000;                     // longest wait for room in the socket's send buffer
    std::uint32_t bodyStallMs = 10000;              // a reply body that gets no byte this long is abandoned
    std::size_t maxBodySize = 16u * 1024u * 1024u;  // larger announced bodies count as "no buffer"
    std::size_t chunkSize = 50000;
};

struct Z8LinkConfig {
    std::string workingDirectory;  // drvorvel.ini ([ServerHost] Address, Port) is read here before every attempt
    Z8LinkTimings timings;
    TickSource tick;      // empty: the system's millisecond tick
    NowSource now;        // empty: the local wall clock
    std::string version;  // empty: the program's version string
    // How host names are looked up; empty: the C library's lookup.
    NameLookup::Resolver resolver;
};

}  // namespace drv

// The Z8 link thread: owns the connection to the Z8 server and the queue of packets for it. Created and started
// by the main window; QueuePacket and LinkConnected may be called from any thread.
class cl {
public:
    static constexpr std::int32_t kErrorThreshold = 20;

    cl(std::shared_ptr<drv::Z8LinkHost> host, drv::Z8LinkConfig config);
    cl(const cl&) = delete;
    cl& operator=(const cl&) = delete;
    // Stops the thread (see Stop).
    ~cl();

    void Start();
    // Asks the thread to end and joins it. Blocks only while the thread finishes its current call into the
    // host, so the host must have been released first when the caller is the thread the host waits for.
    // Interrupts connects, reads, writes and sleeps at once. Idempotent.
    void Stop();

    // Whether the link counts as up. Lock-free; any thread.
    bool LinkConnected() const { return m_connected.load(std::memory_order_acquire); }

    // Builds a packet with the next sequence number and queues it. False when the ring is full (the number is
    // used up all the same), or when a live event can no longer leave (access denied, stopped): the caller
    // keeps the packet. For SpoolFile packets spoolPath names the file to delete when the server acknowledges
    // this very packet.
    bool QueuePacket(std::uint32_t code, const std::vector<std::uint8_t>& payload,
                     drv::z8::PacketOrigin origin = drv::z8::PacketOrigin::Link, std::string spoolPath = {});

    // After Stop: takes every live event still queued, oldest first, so that the caller can keep them.
    std::vector<drv::z8::QueuedPacket> TakeQueuedLiveEvents();

    std::uint64_t NextSequenceNumber() const;
    std::size_t QueuedCount() const;

private:
    void Run();
    void Step();
    void StepDisconnected();
    void StepConnected();
    bool Handshake();
    // Sends one packet as a frame. internalFailure: the frame could not even be built (the packet stays queued).
    bool SendFrame(const std::vector<std::uint8_t>& packet, bool* internalFailure = nullptr);
    // Reads one reply into m_reply; false when it ended without a reply body (extra errors counted inside).
    bool ReadReply();
    // Acts on an accepted reply body. Returns whether the frame it answers counts as delivered.
    bool HandleReply(const std::optional<drv::z8::QueuedPacket>& answered);
    void AcknowledgeSpoolFile(const std::string& path);
    void CloseConnection();
    void LinkLost();
    void HandBack(const drv::z8::QueuedPacket& packet);
    void HandBackQueuedLiveEvents();
    void Log(const char* text);
    std::uint32_t Tick() const;
    drv::TDateTime NowTime() const;

    std::shared_ptr<drv::Z8LinkHost> m_host;
    drv::Z8LinkConfig m_config;
    drv::z8::StopSignal m_stopSignal;
    std::thread m_thread;
    std::mutex m_lifeMutex;  // Start/Stop

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_refused{false};  // access denied: nothing will leave in this run

    mutable std::mutex m_ringMutex;  // the ring and the sequence counter
    drv::z8::OutboundRing m_ring;
    std::uint64_t m_sequence = 0;

    // Link thread only.
    bool m_connectionAllowed = true;
    bool m_accessDeniedShown = false;
    bool m_polling = false;
    bool m_expectReply = false;
    std::uint32_t m_lastPollTick = 0;
    std::uint32_t m_lastAttemptTick = 0;
    std::int32_t m_errors = 0;
    std::unique_ptr<drv::z8::BlockingTcpClient> m_client;
    std::vector<std::uint8_t> m_reply;
};
