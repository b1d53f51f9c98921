#pragma once

// What the benchmarks of the road of an event share: numbered station frames and the events they must become,
// a paced station line on a pseudo-terminal, the real driver as a child process in a working directory of its
// own, an in-process Z8 server that time-stamps what arrives, a ledger of arrivals, figures from /proc, and
// the Markdown the benchmarks print. Everything runs on the benchmark's main thread unless a comment says
// otherwise.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/stationframe.h"
#include "platform/uniquefd.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "z8link/z8server.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

inline constexpr int kFirstNumber = 4;
inline constexpr unsigned kLineBaud = 9600;
inline constexpr double kLineBytesPerSecond = kLineBaud / 10.0;  // 10 bits a character
inline constexpr double kPacketTimeoutMs = 40;  // an incomplete serial packet waits this long from its first byte ...
inline constexpr double kPollMs = 2;            // ... exceeded by 1 ms, plus the wake-up of the driver's precise timer
inline constexpr std::size_t kMaxFrames = 32768;  // distinct raw object numbers

// Frame number `index` of a run: its raw object number is the index, so every frame of a run (fewer than 32768)
// is told apart by its object; the other bytes vary with the index so that a mixed-up byte shows.
Bytes MakeFrame(std::size_t index, bool fourByte);
// The event the driver must make of that frame.
drv::StationEvent ExpectedEvent(std::size_t index, bool fourByte);
// The frame index an event claims (its object number), or nullopt when it is none of a run's.
std::optional<std::size_t> IndexOfEvent(const std::uint8_t* event, std::size_t size);

// Seconds since the start of the process, for progress lines on stderr.
double Uptime();
// A progress line on stderr: "[  12.3 s] text".
void Progress(const std::string& text);

// Stops every child a benchmark started when the benchmark is interrupted (SIGINT, SIGTERM, SIGHUP) and then
// ends it; call once at the start of main.
void InstallInterruptHandler();

// Takes an option every benchmark of the real driver knows (--seconds S, --driver PATH) at argv[i], moving i past
// its value; false when argv[i] is not one of them.
bool TakeCommonOption(int argc, char** argv, int& i, double& seconds, std::string& driverPath);

// A scratch directory under $TMPDIR (or /tmp), removed with everything in it at destruction.
using ScratchDir = drvtest::TempDir;

// The station's end of a serial line: a pseudo-terminal whose far end the driver opens, written at 9600 bit/s.
class StationLine {
public:
    StationLine();
    const std::string& DevicePath() const { return m_devicePath; }
    // Waits until the driver has opened the far end and set it up (its purge shows on this end), at most timeout.
    bool WaitForDriverOpen(std::chrono::milliseconds timeout);
    // Sends one frame: its bytes take their time on the line after the line is free, and the frame then goes
    // into the line in one write, so that no stall of the benchmark can cut a frame that a station sends whole.
    // Returns the moment of that write: the moment the frame's last byte is on the line.
    Clock::time_point Send(const Bytes& frame);
    // For a saturated line: the schedule runs on from `start` without gaps (a frame whose bytes begin at byte
    // firstByteIndex is written when its last byte is done); a writer that was held up catches up. Returns the
    // moment of the write.
    Clock::time_point SendScheduled(const Bytes& frame, Clock::time_point start, std::size_t firstByteIndex);
    // The longest time a frame was written after it was due, and how long writes waited for room in the line.
    Clock::duration MaxLag() const { return m_maxLag; }
    Clock::duration BlockedTime() const { return m_blocked; }
    static Clock::duration ByteTime();

private:
    void WriteFrame(const Bytes& frame);
    void DrainControl();

    drv::UniqueFd m_master;
    std::string m_devicePath;
    Clock::time_point m_lineFree{};
    Clock::duration m_maxLag{};
    Clock::duration m_blocked{};
};

// The real drvorvel executable, started headless (as its service runs it) in a working directory with a drvorvel.ini
// that maps COM1 to the station line and points the Z8 link at 127.0.0.1:z8Port. Its output goes to driver.out in that
// directory. It dies with the benchmark (parent-death signal) and is stopped at destruction.
class DriverProcess {
public:
    // extraIni is appended to that drvorvel.ini.
    DriverProcess(const std::string& executable, const ScratchDir& dir, const std::string& devicePath, int z8Port,
                  const std::string& extraIni = {});

    pid_t pid() const { return m_child->pid(); }
    bool Running() { return m_child->Running(); }
    // SIGTERM, then SIGKILL when it has not ended within a few seconds; idempotent.
    void Stop() { m_child->Stop(std::chrono::seconds(5)); }

private:
    std::unique_ptr<drvtest::ChildProcess> m_child;
};

// A loopback port on which nothing listens: the Z8 server of a run is down.
int UnusedPort();

// Station events that reach a Z8 server, with the moment each arrived; the arrivals are recorded on the server's
// thread. The handshake frames are noted so that a benchmark can wait for the link to be up.
class ServerWatch {
public:
    struct Arrival {
        std::optional<std::size_t> index;  // nullopt: the payload is no event of the run
        Bytes payload;
        Clock::time_point at;
    };

    explicit ServerWatch(drv::z8::Z8Server& server);
    ~ServerWatch();
    // Whether the server has seen the last handshake packet (the version) since the watch began.
    bool WaitForHandshake(std::chrono::milliseconds timeout) const;
    // When the first hello arrived since the watch began; nullopt when none within timeout.
    std::optional<Clock::time_point> WaitForHello(std::chrono::milliseconds timeout) const;
    // Waits until an event with this index has arrived; its arrival time, nullopt when none within timeout.
    std::optional<Clock::time_point> WaitForIndex(std::size_t index, std::chrono::milliseconds timeout) const;
    std::vector<Arrival> Arrivals() const;
    std::size_t EventCount() const;

private:
    // Shared with the observer, which may still be running on the server's thread when the watch goes.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Arrival> arrivals;
        std::map<std::size_t, Clock::time_point> firstArrival;
        bool handshakeSeen = false;
        std::optional<Clock::time_point> helloAt;
    };
    drv::z8::Z8Server& m_server;
    std::shared_ptr<State> m_state;
};

// The station events left in the spool directory as .ob8 files.
// The Z8 end of a run: a server that acknowledges every event and asks for polls, or, when down, a loopback port
// on which nothing listens.
struct Z8End {
    explicit Z8End(bool up);
    std::unique_ptr<drv::z8::Z8Server> server;
    std::unique_ptr<ServerWatch> watch;
    int port = 0;
};

// Makes the server acknowledge every event (and, with poll, ask for polls) after delayMs, kept exact with the
// standard library's sleep whatever the server's own delay does.
void AckEventsAfter(drv::z8::Z8Server& server, int delayMs, bool poll);

// Waits until the driver has opened the line and, with a server, its link is up; throws when it does not.
void WaitForDriver(StationLine& line, const Z8End& z8);

struct SpooledFile {
    std::string name;
    Bytes bytes;
};
std::vector<SpooledFile> ReadSpoolFiles(const std::string& directory);
std::size_t CountSpoolFiles(const std::string& directory);

// Where each of `sent` frames (indices 0..sent-1) ended up, and what arrived that was never sent.
struct Tally {
    std::size_t sent = 0;
    std::size_t delivered = 0;   // distinct frames whose correct event reached the server
    std::size_t spooled = 0;     // distinct frames whose correct event is in a spool file (and not delivered)
    std::size_t duplicates = 0;  // extra copies, at the server or in the spool
    std::size_t corrupted = 0;   // arrivals or files that match no sent frame byte for byte
    std::vector<std::string> corruptedSamples;  // the first few, each with the event it claims to be
    std::vector<std::string> lostRanges;        // the first few runs of lost frames, "first-last"
    std::size_t outOfOrder = 0;                 // server arrivals that came after a later frame's
    std::size_t lost() const { return sent - delivered - spooled; }
};
// fourByte(index) tells which kind of frame index was.
Tally CountOutcome(std::size_t sent, const std::function<bool(std::size_t)>& fourByte,
                   const std::vector<ServerWatch::Arrival>& arrivals, const std::vector<SpooledFile>& spool);

// Bytes in hexadecimal, a space between two.
std::string Hex(const std::uint8_t* data, std::size_t size);

// Nearest-rank percentile (0 < p <= 100) of values; 0 for none.
double Percentile(std::vector<double> values, double p);

// Figures of a process from /proc.
struct ProcessSample {
    double cpuSeconds = 0;     // utime + stime of all its threads
    long rssKiB = 0;           // VmRSS
    long hwmKiB = 0;           // VmHWM
    long pssKiB = 0;           // proportional set size: shared pages counted once over the processes sharing them
    long pssAnonKiB = 0;       // its anonymous part: what the process itself has written
    long contextSwitches = 0;  // voluntary and involuntary, all threads
    int threads = 0;
};
std::optional<ProcessSample> SampleProcess(pid_t pid);

// Markdown helpers: numbers with a fixed count of decimals.
std::string Fixed(double value, int decimals);
// Whether a figure keeps its limit; a missed one is marked in the summary, so that no miss goes unseen.
enum class Verdict { NoLimit, Kept, Over, Under };
inline Verdict AtMost(double value, double limit) { return value <= limit ? Verdict::Kept : Verdict::Over; }
inline Verdict AtLeast(double value, double limit) { return value >= limit ? Verdict::Kept : Verdict::Under; }
// The first verdict that misses its limit, else Kept.
Verdict AllOf(std::initializer_list<Verdict> verdicts);
// Appends one row (figure, measured, limit) to the summary table that scripts/bench puts at the head of the
// report: the file named by $DRV_BENCH_SUMMARY; nothing when it is not set. A missed limit puts "✗ over" or
// "✗ under" after the measured figure.
void SummaryRow(const std::string& figure, const std::string& measured, const std::string& limit,
                Verdict verdict = Verdict::NoLimit);

// Writes `files` spool files of one zero event each (names 0000000_1.ob8, ...) into dir: a pending backlog.
void WriteZeroEventBacklog(const ScratchDir& dir, std::size_t files);

}  // namespace bench
