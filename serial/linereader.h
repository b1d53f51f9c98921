#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/uniquefd.h"

namespace drv {

// Reads one open descriptor on a thread of its own and stamps each chunk with the monotonic tick at which it came
// off the device, so that the owner's own work never counts as silence on the line. It decides nothing: the owning
// thread takes the bytes and their times when it gets to them, through Take.
//
// Threads: Start, Stop, Take, Discard and the rest are called by the owning thread only; the reader thread does
// nothing but wait on the descriptor (and on its stop), read what waits and queue it. The owning thread never waits
// for the reader beyond one non-blocking read (Take and Discard share a mutex with it), except in Stop, which wakes
// and joins it. The descriptor is borrowed: it must stay open until Stop has returned.
// Up to kCapacity bytes wait; while that many do, the reader leaves the rest in the device and looks again every
// kRestMs. A descriptor that hangs up ends the reading (WakeHandle stays readable, Failure tells EIO); one whose
// read fails otherwise is tried again after kRestMs.
class LineReader {
public:
    struct Arrival {
        std::uint32_t tick;      // monotonic ms tick at which the chunk was read
        std::uint32_t size;      // its bytes, in order, in what Take wrote
        bool continued = false;  // the rest of a chunk of which an earlier Take took the first part
    };
    static constexpr std::size_t kCapacity = 65536;
    static constexpr int kRestMs = 10;

    // clock: whose tick stamps the chunks (the owner's, so that its packet timing compares like with like); its
    // count is read on the reader thread.
    explicit LineReader(Clock clock = {}) : m_clock(std::move(clock)) {}
    ~LineReader() { Stop(); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Starts reading fd. False (errno set) when the thread or its descriptors cannot be made.
    bool Start(int fd);
    // Wakes the reader and waits for it to end; nothing when it is not running. Waiting bytes are dropped.
    void Stop();
    bool Running() const { return m_thread.joinable(); }
    // Readable while chunks wait or a failure is to be told; -1 when not running.
    int WakeHandle() const { return m_wake.get(); }

    // Moves up to room waiting bytes into buffer and appends one Arrival for each chunk they came in; the count
    // moved. A chunk that does not fit is split, its rest waiting as a continued one. Clears WakeHandle when
    // nothing is left to tell.
    std::size_t Take(std::uint8_t* buffer, std::size_t room, std::vector<Arrival>& arrivals);
    // The errno of a read that failed since the last call (EIO when the device hung up), and forgets it; 0: none.
    int TakeFailure();
    // Runs flush (a purge of the device's queue) while no read is in progress and drops every waiting chunk, so
    // that nothing read before the flush is handed on after it. flush's result.
    bool Discard(const std::function<bool()>& flush);

private:
    void Run(int fd);
    void Signal();  // with m_mutex held

    const Clock m_clock;
    std::thread m_thread;
    UniqueFd m_wake;  // eventfd: the owner's wake-up
    UniqueFd m_stop;  // eventfd: the reader's stop
    std::mutex m_mutex;
    std::deque<std::uint8_t> m_bytes;  // with m_mutex
    std::deque<Arrival> m_arrivals;    // with m_mutex
    int m_failure = 0;                 // with m_mutex
    bool m_signalled = false;          // with m_mutex: m_wake holds a count
};

}  // namespace drv
