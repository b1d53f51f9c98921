#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/metrics.h"
#include "platform/clock.h"
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
    // A connection has been made and its handshake queued: forwarding may hand over a spool file at once. Must not
    // block on the main thread.
    virtual void Connected() {}
    // A live station event that got no accepted reply. The host must keep it (spool it) even during shutdown;
    // must not block on the main thread.
    virtual void ReturnUndelivered(std::uint32_t code, std::vector<std::uint8_t> payload) = 0;
    // What became of the frame that carried the packet of a spool file.
    enum class SpoolOutcome {
        Acknowledged,  // the server acknowledged this very frame (late or not): the link has deleted the file
        Declined,      // the server answered it with something else, or with a reply that has no usable body
        Lost,          // no answer: the reply deadline, a lost connection, the error limit, access denied, a stop
    };
    struct SpoolResult {
        std::string path;
        SpoolOutcome outcome = SpoolOutcome::Lost;
        bool existed = false;  // Acknowledged: the file was still there (and has been deleted, or its deletion failed)
        std::string answer;    // what came instead of an acknowledgement, for the operator
    };
    // Reported exactly once for every spool file packet that left the queue for the wire, and for one still queued
    // when nothing can leave in this run any more; a packet queued across a reconnect is reported when its frame
    // has been answered or given up on the next connection. The file is neither queued nor awaited any more. Must
    // not block on the main thread.
    virtual void SpoolFileResolved(const SpoolResult& /*result*/) {}
    // Deletes the spool file of an acknowledged packet; 0 or the errno of the failure. Must not block on the main
    // thread.
    virtual int DeleteSpoolFile(const std::string& path);
};

// The intervals and limits of the link. The program uses the defaults; tests shorten them.
struct Z8LinkTimings {
    std::uint32_t attemptIntervalMs = 5000;  // between the starts of two connection attempts
    int connectTimeoutMs = 2500;
    int readTimeoutMs = 1000;  // longest wait for further bytes within one read
    std::uint32_t pollIntervalMs = 500;
    int writeTimeoutMs = 10000;  // longest wait for room in the socket's send buffer
    // A reply not whole this long after its frame was sent fails its exchange; a connection left out of step by a
    // failed exchange is closed once this much time has passed since that frame was sent.
    std::uint32_t replyDeadlineMs = 10000;
    std::size_t maxBodySize = 16u * 1024u * 1024u;  // larger announced bodies count as "no buffer"
    std::size_t chunkSize = 50000;
};

// Where the Z8 server listens.
struct Z8ServerAddress {
    std::string address;
    std::int32_t port = 0;
};

struct Z8LinkConfig {
    // Asked on the link thread before every connection attempt, so that a changed address takes effect at the next
    // one (the driver reads [ServerHost] of drvorvel.ini). Must be set.
    std::function<Z8ServerAddress()> server;
    Z8LinkTimings timings;
    Clock clock;          // the link's millisecond tick is its never-stepping count; empty: the system's
    std::string version;  // empty: the program's version string
    // How host names are looked up; empty: the C library's lookup.
    NameLookup::Resolver resolver;
    DriverMetrics* metrics = nullptr;  // where the link counts and reports its state; must outlive the link
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

    // Live events that have waited at least ageMs since they were queued, in the ring or awaiting their reply
    // (or awaiting the late reply of a failed exchange, whatever their age), and are not being written yet: each is marked as being written and returned (a copy). Any thread; never
    // waits for the link's network I/O. The caller writes each one's spool file and then reports it with
    // EventMadeDurable or EventNotMadeDurable.
    std::vector<drv::z8::QueuedPacket> TakeEventsToMakeDurable(std::uint32_t ageMs);
    enum class DurableOutcome {
        Converted,    // the queued or in-flight packet is now the file's packet: its acknowledgement deletes the file
        Delivered,    // the event was answered meanwhile: the caller deletes the file
        Undelivered,  // the event was given up meanwhile: the caller keeps the file for forwarding
    };
    DurableOutcome EventMadeDurable(std::uint64_t sequence, const std::string& path);
    // The file could not be written. True when the event was given up meanwhile and the caller must keep it some
    // other way; otherwise it stays a live event and is offered again after another ageMs.
    bool EventNotMadeDurable(std::uint64_t sequence);
    // Live events queued or awaiting their reply. Any thread.
    std::size_t PendingLiveEvents() const;

    std::uint64_t NextSequenceNumber() const;
    std::size_t QueuedCount() const;

private:
    void Run();
    void Step();
    // How long the thread may wait after a step before the next one is due, in ms of the link's tick: 0 when
    // there is work now, -1 when only a queued packet, the peer or a stop can bring any.
    int MsUntilNextStep();
    // The socket to watch while waiting: the open connection of an idle link, else -1.
    int IdleConnectionFd() const;
    void StepDisconnected();
    void StepConnected();
    bool Handshake();
    // Sends one packet as a frame. internalFailure: the frame could not even be built (the packet stays queued).
    bool SendFrame(const std::vector<std::uint8_t>& packet, bool* internalFailure = nullptr);
    // How a reply read ended.
    enum class ReplyRead {
        Whole,      // a whole frame arrived: its body is in m_reply; the connection is in step
        Rejected,   // the frame ended without a usable body (N of 0 or less); in step
        OutOfStep,  // no whole reply yet; what arrived is kept, and the server may still answer
        Expired,    // the reply deadline has passed without a whole reply
        Closed,     // the connection is gone, or the thread stops
    };
    // Goes on reading the reply of the waiting exchange where the last read left off, within its deadline; a
    // whole body is left in m_assembler. Counts the extra error of a negative or oversized length inside.
    ReplyRead ReadReply();
    // Reads (or goes on reading) the reply of the exchange and acts on how the read ended.
    void ContinueExchange();
    // Acts on the reply body in m_assembler. delivered: an accepted reply that lets the frame it answers count as
    // delivered; outcome: what it means for a spool file's packet. The default is no answer at all.
    struct ReplyEffect {
        bool delivered = false;
        drv::Z8LinkHost::SpoolOutcome outcome = drv::Z8LinkHost::SpoolOutcome::Lost;
        std::string answer;  // what the reply was, or why none came, for a spool file it does not acknowledge
    };
    static ReplyEffect NoAnswer(std::string why) { return {false, drv::Z8LinkHost::SpoolOutcome::Lost, std::move(why)}; }
    ReplyEffect HandleReply();
    // Ends the in-flight packet's wait, if there is one: a spool file packet is reported (an acknowledged one deletes
    // its file first), a live event that was not delivered is handed back (or, while its file is being written,
    // left to that writer).
    void ResolveInFlight(const ReplyEffect& effect);
    // Ends the exchange under way, if any, with its frame given up.
    void AbandonExchange(const char* why);
    // Under m_ringMutex: the queued or in-flight packet with this sequence number.
    drv::z8::QueuedPacket* FindPendingLocked(std::uint64_t sequence);
    void AcknowledgeSpoolFile(const std::string& path);
    void CloseConnection();
    void LinkLost();
    void HandBack(const drv::z8::QueuedPacket& packet);
    // Nothing can leave in this run any more: queued live events go back to be kept, queued spool files are
    // reported lost.
    void ReleaseQueuedPackets(const char* why);
    void Log(const char* text);
    // Counts and reports the link's state (core/metrics.h); nothing without metrics.
    void NoteLink(bool up, drv::LinkReason reason, int error = 0);
    // Why the connection that is being closed ended.
    drv::LinkReason LossReason(int* error) const;
    std::uint32_t Tick() const;

    std::shared_ptr<drv::Z8LinkHost> m_host;
    drv::Z8LinkConfig m_config;
    drv::z8::StopSignal m_stopSignal;
    drv::z8::WakeSignal m_wake;  // set by QueuePacket: the link thread looks at its ring
    std::thread m_thread;
    std::mutex m_lifeMutex;  // Start/Stop

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_refused{false};  // access denied: nothing will leave in this run

    mutable std::mutex m_ringMutex;  // the ring, the sequence counter, the in-flight packet, m_resolvedWhileWritten
    drv::z8::OutboundRing m_ring;
    std::uint64_t m_sequence = 0;
    std::optional<drv::z8::QueuedPacket> m_inFlight;  // sent, awaiting its reply
    bool m_inFlightOverdue = false;  // its exchange failed: a live event is written to disk without waiting its age
    // Live events resolved while their file was being written: sequence number and whether they were delivered.
    std::vector<std::pair<std::uint64_t, bool>> m_resolvedWhileWritten;

    // Link thread only.
    bool m_connectionAllowed = true;
    bool m_accessDeniedShown = false;
    bool m_polling = false;
    bool m_expectReply = false;
    std::uint32_t m_lastPollTick = 0;
    std::uint32_t m_lastAttemptTick = 0;
    std::int32_t m_errors = 0;
    std::unique_ptr<drv::z8::BlockingTcpClient> m_client;
    std::string m_server;  // "address:port" of the last attempt, for the state lines

    // The frame that waits for its reply, and what of the reply has arrived. Link thread only. While `failed` is
    // set the connection is out of step: nothing is sent until the late reply has arrived or the deadline passed;
    // the frame stays in flight meanwhile, so that a late reply still takes its effect for it.
    struct Exchange {
        bool active = false;
        bool failed = false;  // counted as an error already
        std::uint32_t sentTick = 0;
    };
    Exchange m_exchange;
    drv::z8::ReplyAssembler m_assembler;  // what of the exchange's reply has arrived
};
