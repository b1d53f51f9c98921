#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/namelookup.h"
#include "platform/uniquefd.h"

namespace drv::z8 {

// A level-triggered wake-up that stays set once signalled: every wait of the link's socket also watches it, so
// that a thread that asks the link to stop never waits out a connect or read time-out. Signal from any thread.
class StopSignal {
public:
    StopSignal();
    void Signal();
    bool IsSet() const;
    int fd() const { return m_fd.get(); }
    // Waits up to ms milliseconds or until the signal is set.
    void Sleep(int ms) const;

private:
    UniqueFd m_fd;
};

// A wake-up that the link thread waits on with its other descriptors: any thread signals it (a packet was queued);
// the waiter clears it once its wait has reported it, before it looks at what there is to do, so that no signal is
// missed. A signal that finds nothing to do costs one needless look.
class WakeSignal {
public:
    WakeSignal();
    void Signal();  // any thread; never blocks
    void Clear();   // the waiting thread
    int fd() const { return m_fd.get(); }

private:
    UniqueFd m_fd;
};

enum class ReadStatus {
    Complete,  // every byte asked for arrived
    Timeout,   // nothing further arrived for the read time-out
    Closed,    // the peer closed the connection, or it failed, or it was never open
    Stopped,   // the stop signal was set
};

struct ReadResult {
    std::size_t count = 0;  // bytes that did arrive, whatever the status
    ReadStatus status = ReadStatus::Closed;
};

// A blocking TCP client with time-outs, used by the link thread alone. The socket is non-blocking underneath;
// every wait is a poll that also watches the stop signal.
class BlockingTcpClient {
public:
    // resolver: how host names are looked up (empty: the C library); a lookup runs on a helper thread of its own.
    BlockingTcpClient(int connectTimeoutMs, int readTimeoutMs, int writeTimeoutMs, const StopSignal& stop,
                      NameLookup::Resolver resolver = {});
    BlockingTcpClient(const BlockingTcpClient&) = delete;
    BlockingTcpClient& operator=(const BlockingTcpClient&) = delete;

    // Resolves host (a name or a dotted address) and connects, giving up after the connect time-out in all, the
    // name lookup included; a stop ends the wait at once, and a lookup that answers too late is dropped.
    // False on any failure: not found, refused, unreachable, time-out, stop.
    bool Connect(const std::string& host, int port);
    // Writes every byte or fails: connection closed or reset, not connected, no progress within the write
    // time-out, stop. Once a read has found the connection closed by the peer every write fails.
    bool Write(const std::uint8_t* data, std::size_t size);
    // Reads up to k bytes into `into`: returns when all k arrived, or when nothing further came for the read
    // time-out, or when the connection was closed, with the count of those that did arrive. With maxWaitMs >= 0
    // it also returns (as a time-out) once that much time has passed in all, however steadily bytes trickle in.
    ReadResult Read(std::uint8_t* into, std::size_t k, int maxWaitMs = -1);
    void Close();
    bool IsOpen() const { return m_fd.valid(); }
    // The socket, for a wait that also watches other descriptors (WaitForWork); -1 when closed.
    int fd() const { return m_fd.get(); }
    // errno of the last failure, or kErrorNameNotFound (core/metrics.h) when the host name was not found.
    int LastError() const { return m_lastError; }
    bool PeerClosed() const { return m_peerClosed; }
    // A wait on fd() saw the server's end of the connection close (POLLRDHUP, POLLHUP).
    void NotePeerClosed() { m_peerClosed = true; }

private:
    // Waits for `events` on the socket; 1 ready, 0 time-out, -1 stop or failure.
    int Wait(short events, int timeoutMs);

    int m_connectTimeoutMs;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    const StopSignal& m_stop;
    NameLookup::Resolver m_resolver;
    UniqueFd m_fd;
    bool m_peerClosed = false;
    int m_lastError = 0;
};

// What ended a WaitForWork.
enum class WorkWake {
    Deadline,  // the time given has passed
    Woken,     // the wake signal was set (and has been cleared)
    Stopped,   // the stop signal is set
    PeerGone,  // the watched connection was closed by the peer or failed
};

// Blocks the calling thread until the stop or wake signal is set, the connection on watchFd (-1: none) is closed by
// its peer or fails, or timeoutMs has passed (-1: no limit). Data arriving on watchFd does not end the wait: it
// stays for the next read. The stop signal wins over everything else.
WorkWake WaitForWork(const StopSignal& stop, WakeSignal& wake, int watchFd, int timeoutMs);

}  // namespace drv::z8
