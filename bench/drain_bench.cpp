// Drain rate of a spool backlog through the real driver: N .ob8 files wait in the spool directory when the driver
// starts, and a Z8 server that acknowledges every event after 0 or 1 ms takes them, while the station line runs
// saturated with 4-byte frames (240 a second) the whole time. Measures files a second from the link coming up to
// the last file at the server, and how long the live events waited meanwhile (last byte on the line to the
// server), against the goals: at least 2000 files a second at 0 ms, no live event waiting more than 100 ms.
// With --stuck-every K it compares instead a clean drain of N files with one where the server answers every K-th
// file with a code other than the acknowledgement (it is never deleted): goal, the other files drained within the
// clean time plus 10 %.
// With --edges it runs the backlog against servers at the edges instead, with one live event a second from the
// station: a clean one, ones that acknowledge every event --late MS late (0.5, 1.5 and 3 s unless given) and one
// that declines every --decline-every K-th backlog frame (10 unless given; 0: none). Each run goes on until the
// backlog is gone from disk and taken by the server, or its cap (at most --max-seconds S, 1200 unless given; a
// --window S, 300 unless given, where the server's pace allows no drain). Counts, per server, the events lost and
// the duplicates the server took: goal 0 and 0.
//
// Usage: bench_drain [--files N] [--delay MS ...] [--stuck-every K] [--driver PATH]
//        bench_drain --edges [--files N] [--late MS ...] [--decline-every K] [--max-seconds S] [--window S]
//                    [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/roadbench.h"
#include "core/spool.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

// The driver under test on a station line of its own, against a server already set up: constructed once the driver
// has opened the line and its link's handshake is in.
struct DriverAtServer {
    DriverAtServer(const std::string& driverPath, const ScratchDir& dir, drv::z8::Z8Server& server)
        : watch(server), driver(driverPath, dir, line.DevicePath(), server.Port()) {
        if (!line.WaitForDriverOpen(milliseconds(20000))) throw std::runtime_error("the driver did not open the line");
        if (!watch.WaitForHandshake(milliseconds(20000)))
            throw std::runtime_error("the driver's Z8 link did not come up");
        linkUp = Clock::now();
    }
    ServerWatch watch;
    StationLine line;
    DriverProcess driver;
    Clock::time_point linkUp;
};

constexpr std::uint32_t kFileObjectBase = 1000000;  // objects of the spooled events: no frame of the run has them
constexpr double kLiveWaitGoalMs = 100;
constexpr double kDrainGoal = 2000;
constexpr std::uint32_t kDeclined = 0x03000022;  // an accepted reply that acknowledges nothing

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Result {
    int delayMs = 0;
    std::size_t stuckEvery = 0;  // every this many-th file is never acknowledged; 0: none
    std::size_t files = 0;
    std::size_t filesArrived = 0;
    std::size_t fileDuplicates = 0;
    std::size_t filesLeft = 0;
    std::size_t filesOutOfOrder = 0;  // arrived after a younger file
    double drainSeconds = 0;
    double rate = 0;
    std::size_t live = 0;
    std::size_t liveAccounted = 0;
    double liveP50 = 0, liveP99 = 0, liveMax = 0;
    bool survived = true;
};

void WriteBacklog(const ScratchDir& dir, std::size_t files) {
    for (std::size_t i = 0; i < files; ++i) {
        drv::StationEvent e = ExpectedEvent(0, true);
        const auto object = static_cast<std::uint32_t>(kFileObjectBase + i);
        for (int b = 0; b < 4; ++b) e[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(object >> (8 * b));
        const auto bytes = drv::BuildOb8(drv::kStationEventCode, e.data(), e.size());
        char name[32];
        std::snprintf(name, sizeof name, "B%07zu.ob8", i);
        dir.write(name, std::string(bytes.begin(), bytes.end()));
        // One second apart in age, so that the order the server sees can be checked.
        const timespec times[2] = {{1700000000 + static_cast<time_t>(i), 0}, {1700000000 + static_cast<time_t>(i), 0}};
        ::utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0);
    }
}

bool Stuck(std::uint32_t object, std::size_t stuckEvery) {
    return stuckEvery > 0 && (object - kFileObjectBase) % stuckEvery == stuckEvery - 1;
}

Result Run(const std::string& driverPath, std::size_t files, int delayMs, std::size_t stuckEvery = 0) {
    Result r;
    r.delayMs = delayMs;
    r.files = files;
    r.stuckEvery = stuckEvery;
    const std::size_t due = stuckEvery > 0 ? files - files / stuckEvery : files;  // files that can be delivered
    ScratchDir dir("drain");
    Progress("drain " + std::to_string(delayMs) + " ms: writing " + std::to_string(files) + " spool files");
    WriteBacklog(dir, files);

    drv::z8::Z8Server server;
    AckEventsAfter(server, delayMs, true);
    if (stuckEvery > 0) {
        server.SetScript(
            [delayMs, stuckEvery](const drv::z8::ReceivedFrame& f) -> std::optional<drv::z8::ServerAction> {
                if (delayMs > 0) std::this_thread::sleep_for(milliseconds(delayMs));
                if (!f.packet || f.packet->code != drv::z8::kStationEvent || f.packet->payload.size() < 4 ||
                    !Stuck(drv::z8::GetU32(f.packet->payload.data()), stuckEvery))
                    return std::nullopt;
                drv::z8::ServerAction declined;
                declined.bytes = drv::z8::ReplyFrame(kDeclined);
                return declined;
            });
    }
    DriverAtServer run(driverPath, dir, server);
    const auto linkUp = run.linkUp;
    Progress("drain " + std::to_string(delayMs) + " ms: link up, line saturated until the backlog is gone");

    // Files that can be delivered and have reached the server, each counted once.
    auto fileArrivals = [&] {
        std::set<std::uint32_t> objects;
        for (const auto& a : run.watch.Arrivals()) {
            if (a.index || a.payload.size() < 4) continue;
            const std::uint32_t object = drv::z8::GetU32(a.payload.data());
            if (!Stuck(object, stuckEvery)) objects.insert(object);
        }
        return objects.size();
    };
    std::vector<Clock::time_point> lastByte;
    const auto start = Clock::now() + milliseconds(5);
    std::size_t byteIndex = 0;
    const auto deadline = linkUp + std::chrono::seconds(120);
    for (std::size_t i = 0; i < kMaxFrames && Clock::now() < deadline; ++i) {
        lastByte.push_back(run.line.SendScheduled(MakeFrame(i, true), start, byteIndex));
        byteIndex += 4;
        if ((i + 1) % 240 == 0) {
            const std::size_t arrived = fileArrivals();
            if ((i + 1) % 2400 == 0) Progress("drain: " + std::to_string(arrived) + " files at the server");
            if (arrived >= due) break;
        }
        if (!run.driver.Running()) throw std::runtime_error("the driver ended during the run");
    }
    r.live = lastByte.size();
    // The live events still on their way.
    drvtest::WaitUntil(
        [&] {
            std::size_t live = 0;
            for (const auto& a : run.watch.Arrivals()) live += a.index ? 1 : 0;
            return live >= r.live;
        },
        milliseconds(3000));
    r.survived = run.driver.Running();
    run.driver.Stop();

    std::set<std::uint32_t> seen;
    Clock::time_point lastFile = linkUp;
    std::vector<double> waits;
    std::set<std::size_t> liveSeen;
    for (const auto& a : run.watch.Arrivals()) {
        if (a.index) {
            if (*a.index < lastByte.size() && liveSeen.insert(*a.index).second)
                waits.push_back(Ms(a.at - lastByte[*a.index]));
            continue;
        }
        const std::uint32_t object = drv::z8::GetU32(a.payload.data());
        if (Stuck(object, stuckEvery)) continue;  // tried again and again by design
        if (!seen.insert(object).second) ++r.fileDuplicates;
        if (!seen.empty() && object < *seen.rbegin()) ++r.filesOutOfOrder;
        lastFile = std::max(lastFile, a.at);
    }
    r.filesArrived = seen.size();
    r.filesLeft = CountSpoolFiles(dir.path());
    r.liveAccounted = liveSeen.size();
    r.drainSeconds = std::chrono::duration<double>(lastFile - linkUp).count();
    r.rate = r.drainSeconds > 0 ? static_cast<double>(r.filesArrived) / r.drainSeconds : 0;
    r.liveP50 = Percentile(waits, 50);
    r.liveP99 = Percentile(waits, 99);
    r.liveMax = waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
    Progress("drain " + std::to_string(delayMs) + " ms: " + Fixed(r.rate, 0) + " files a second, live events wait " +
             Fixed(r.liveMax, 0) + " ms at most");
    return r;
}

// A clean drain against one past files the server never acknowledges, both with the server answering at once.
int PrintStuckComparison(const std::string& driverPath, std::size_t files, std::size_t stuckEvery) {
    const Result clean = Run(driverPath, files, 0);
    const Result stuck = Run(driverPath, files, 0, stuckEvery);
    const double limit = clean.drainSeconds * 1.1;
    std::printf("## Draining past files the server never acknowledges\n\n");
    std::printf(
        "%zu .ob8 files wait when the driver starts; the server answers at once, acknowledging every file in the "
        "clean run and answering every %zu-th file with a code that acknowledges nothing in the other (those files "
        "stay "
        "on disk and are tried again after growing pauses). The station line runs saturated meanwhile. Goal: the "
        "other files drained within the clean time plus 10 %%.\n\n",
        files, stuckEvery);
    std::printf("| Run | Files delivered / copies / left on disk | Drained in | Live wait max |\n|---|---|---|---|\n");
    for (const auto* r : {&clean, &stuck}) {
        std::printf("| %s | %zu / %zu / %zu | %s s | %s ms |\n",
                    r->stuckEvery ? "one in ten never acknowledged" : "clean", r->filesArrived, r->fileDuplicates,
                    r->filesLeft, Fixed(r->drainSeconds, 2).c_str(), Fixed(r->liveMax, 0).c_str());
    }
    std::printf("\n");
    SummaryRow("Drain of " + std::to_string(files - files / stuckEvery) + " of " + std::to_string(files) +
                   " spool files past one in " + std::to_string(stuckEvery) + " never acknowledged",
               Fixed(stuck.drainSeconds, 2) + " s", "at most " + Fixed(limit, 2) + " s (clean drain + 10 %)",
               AtMost(stuck.drainSeconds, limit));
    return clean.survived && stuck.survived ? 0 : 1;
}

// ---- Forwarding at the edges: late and declining servers, with live events and a backlog ----

// A backlog file of the edge runs: its name cannot be a spooled event's (those are hexadecimal stems).
std::string EdgeFileName(std::size_t i) {
    char name[32];
    std::snprintf(name, sizeof name, "Z%07zu.ob8", i);
    return name;
}

drv::StationEvent BacklogEvent(std::size_t i) {
    drv::StationEvent e = ExpectedEvent(i % kMaxFrames, true);
    const auto object = static_cast<std::uint32_t>(kFileObjectBase + i);
    for (int b = 0; b < 4; ++b) e[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(object >> (8 * b));
    return e;
}

void WriteEdgeBacklog(const ScratchDir& dir, std::size_t files) {
    for (std::size_t i = 0; i < files; ++i) {
        const drv::StationEvent e = BacklogEvent(i);
        const auto bytes = drv::BuildOb8(drv::kStationEventCode, e.data(), e.size());
        const std::string name = EdgeFileName(i);
        dir.write(name, std::string(bytes.begin(), bytes.end()));
        const timespec times[2] = {{1700000000 + static_cast<time_t>(i), 0}, {1700000000 + static_cast<time_t>(i), 0}};
        ::utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0);
    }
}

// Backlog files still in the spool directory.
std::size_t CountBacklogOnDisk(const std::string& directory) {
    std::size_t n = 0;
    DIR* d = ::opendir(directory.c_str());
    if (d == nullptr) return 0;
    while (const dirent* e = ::readdir(d)) {
        const std::size_t len = std::strlen(e->d_name);
        if (e->d_name[0] == 'Z' && len >= 4 && std::strcmp(e->d_name + len - 4, ".ob8") == 0) ++n;
    }
    ::closedir(d);
    return n;
}

bool IsBacklogPayload(const drv::z8::Bytes& p) {
    if (p.size() < 4) return false;
    const std::uint32_t object = drv::z8::GetU32(p.data());
    return object >= kFileObjectBase && object < kFileObjectBase + 10000000;
}

struct EdgeScenario {
    std::string name;
    int lateMs = 0;                // every event acknowledgement comes this late
    std::size_t declineEvery = 0;  // every this many-th backlog frame gets an answer that acknowledges nothing
};

// What the server took, written on the server's thread: an event is taken when the server decides to
// acknowledge it, as it arrives (the acknowledgement follows after the delay).
struct EdgeServerLog {
    std::mutex mutex;
    std::map<std::string, std::size_t> taken;  // payload -> times taken
    std::size_t backlogTaken = 0;              // distinct backlog events taken
    std::size_t backlogFrames = 0;             // backlog frames received, declined ones included
    std::size_t declined = 0;
    std::size_t liveFrames = 0;
    bool closing = false;  // the run is over: the next frame closes the connection, untaken
};

struct EdgeResult {
    EdgeScenario scenario;
    std::size_t files = 0;
    std::size_t liveSent = 0;
    std::size_t backlogReceived = 0, liveReceived = 0;  // distinct
    std::size_t duplicates = 0;                         // extra copies taken at the server
    std::size_t lost = 0;                               // neither taken nor on disk at the end
    // Event files left; of them, copies of events taken or held by another file too (each would go once more).
    std::size_t onDisk = 0, onDiskReceived = 0;
    std::size_t unknown = 0;  // taken or on disk, and no event of the run
    std::size_t declined = 0;
    bool drained = false;
    double drainSeconds = 0;  // link up to the backlog gone from disk and taken; the run's length when not drained
    double capSeconds = 0;
    double bestSeconds = -1;  // the least drain time the server's pace allows; < 0: no drain possible
    double runSeconds = 0;    // the whole scenario, start of the driver to its end
    bool survived = true;
};

EdgeResult RunEdge(const std::string& driverPath, const EdgeScenario& s, std::size_t files, double capSeconds,
                   double bestSeconds) {
    const auto began = Clock::now();
    EdgeResult r;
    r.scenario = s;
    r.files = files;
    r.capSeconds = capSeconds;
    r.bestSeconds = bestSeconds;
    ScratchDir dir("edges");
    Progress(s.name + ": writing " + std::to_string(files) + " spool files; cap " + Fixed(capSeconds, 0) + " s");
    WriteEdgeBacklog(dir, files);

    drv::z8::Z8Server server;
    drv::z8::ServerBehaviour behaviour;
    behaviour.ackEvents = true;
    behaviour.pollAfterHello = true;
    server.SetBehaviour(behaviour);
    auto log = std::make_shared<EdgeServerLog>();
    // One frame at a time: the server reads the next frame only once it has answered this one.
    server.SetScript([log, s](const drv::z8::ReceivedFrame& f) -> std::optional<drv::z8::ServerAction> {
        {
            std::lock_guard lock(log->mutex);
            if (log->closing) {
                drv::z8::ServerAction close;
                close.closeBefore = true;
                return close;
            }
        }
        if (!f.packet || f.packet->code != drv::z8::kStationEvent) return std::nullopt;
        const auto& p = f.packet->payload;
        const bool backlog = IsBacklogPayload(p);
        drv::z8::ServerAction a;
        a.delayMs = s.lateMs;
        std::lock_guard lock(log->mutex);
        if (backlog && s.declineEvery > 0 && ++log->backlogFrames % s.declineEvery == 0) {
            ++log->declined;
            a.bytes = drv::z8::ReplyFrame(drv::z8::kPoll);  // accepted, and acknowledges nothing
            return a;
        }
        if (!backlog) ++log->liveFrames;
        if (++log->taken[std::string(p.begin(), p.end())] == 1 && backlog) ++log->backlogTaken;
        a.bytes = drv::z8::ReplyFrame(drv::z8::kEventAcknowledged);
        return a;
    });
    DriverAtServer run(driverPath, dir, server);
    const auto linkUp = run.linkUp;
    const auto capEnd = linkUp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capSeconds));
    Progress(s.name + ": link up; one live event a second until the backlog is gone");

    auto nextLive = linkUp;
    auto nextReport = linkUp + std::chrono::seconds(30);
    while (Clock::now() < capEnd) {
        const auto now = Clock::now();
        if (now >= nextLive) {
            run.line.Send(MakeFrame(r.liveSent, true));
            ++r.liveSent;
            nextLive += std::chrono::seconds(1);
        }
        std::size_t taken = 0;
        {
            std::lock_guard lock(log->mutex);
            taken = log->backlogTaken;
        }
        if (taken >= files && CountBacklogOnDisk(dir.path()) == 0) {
            r.drained = true;
            r.drainSeconds = std::chrono::duration<double>(Clock::now() - linkUp).count();
            break;
        }
        if (now >= nextReport) {
            Progress(s.name + ": " + std::to_string(taken) + " of " + std::to_string(files) +
                     " backlog files at the server, " + std::to_string(CountSpoolFiles(dir.path())) +
                     " event files on disk");
            nextReport += std::chrono::seconds(30);
        }
        if (!run.driver.Running()) throw std::runtime_error("the driver ended during the run");
        std::this_thread::sleep_until(std::min(nextLive, Clock::now() + milliseconds(20)));
    }
    if (!r.drained) r.drainSeconds = std::chrono::duration<double>(Clock::now() - linkUp).count();
    // The live events on their way: taken, or left to the driver, which keeps what it still holds when it stops.
    drvtest::WaitUntil(
        [&] {
            std::lock_guard lock(log->mutex);
            return log->liveFrames >= r.liveSent;
        },
        milliseconds(2 * s.lateMs + 3000));
    // The server answers the frame it holds and then closes the connection at the next frame (a poll of the idle
    // link at the latest): by then the driver has read every answer of the run, so no copy is left on disk merely
    // because the run ended before an acknowledgement.
    {
        std::lock_guard lock(log->mutex);
        log->closing = true;
    }
    drvtest::WaitUntil([&] { return server.Idle(); }, milliseconds(2 * s.lateMs + 5000));
    server.Stop();
    r.survived = run.driver.Running();
    run.driver.Stop();

    std::set<std::string> expected;
    for (std::size_t i = 0; i < files; ++i) {
        const auto e = BacklogEvent(i);
        expected.emplace(e.begin(), e.end());
    }
    for (std::size_t i = 0; i < r.liveSent; ++i) {
        const auto e = ExpectedEvent(i, true);
        expected.emplace(e.begin(), e.end());
    }
    std::set<std::string> accounted;
    {
        std::lock_guard lock(log->mutex);
        r.declined = log->declined;
        for (const auto& [payload, count] : log->taken) {
            if (expected.count(payload) == 0) {
                r.unknown += count;
                continue;
            }
            accounted.insert(payload);
            r.duplicates += count - 1;
            const drv::z8::Bytes p(payload.begin(), payload.end());
            ++(IsBacklogPayload(p) ? r.backlogReceived : r.liveReceived);
        }
    }
    for (const auto& f : ReadSpoolFiles(dir.path())) {
        ++r.onDisk;
        const std::string payload = f.bytes.size() >= 4 ? std::string(f.bytes.begin() + 4, f.bytes.end()) : "";
        if (expected.count(payload) == 0) {
            ++r.unknown;
            continue;
        }
        if (!accounted.insert(payload).second) ++r.onDiskReceived;
    }
    r.lost = expected.size() - accounted.size();
    r.runSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    Progress(s.name + ": " +
             (r.drained ? "drained in " + Fixed(r.drainSeconds, 1) + " s"
                        : "not drained in " + Fixed(r.drainSeconds, 0) + " s") +
             ", " + std::to_string(r.lost) + " lost, " + std::to_string(r.duplicates) + " duplicates, " +
             std::to_string(r.onDisk) + " left on disk");
    return r;
}

// The servers at the edges, each with live events at one a second and a backlog, beside a clean drain.
int PrintEdges(const std::string& driverPath, std::size_t files, std::size_t declineEvery,
               const std::vector<int>& lateMs, double maxSeconds, double windowSeconds) {
    std::vector<EdgeResult> results;
    // The clean drain first: the caps of the others are measured from it.
    const EdgeResult clean = RunEdge(driverPath, {"acknowledging at once", 0, 0}, files, std::min(maxSeconds, 60.0), 0);
    results.push_back(clean);
    const double cleanDrain = clean.drainSeconds;
    auto capFor = [&](double best) { return std::min(maxSeconds, std::max(cleanDrain * 3 + 60, best * 1.5 + 60)); };
    for (int late : lateMs) {
        const double d = late / 1000.0;
        // One frame at a time: the server takes one event every d seconds, and the live events take their share.
        const double best = d < 1 ? static_cast<double>(files) * d / (1 - d) : -1;
        const EdgeScenario s{"acknowledging " + Fixed(d, 1) + " s late", late, 0};
        results.push_back(
            RunEdge(driverPath, s, files, best < 0 ? std::min(maxSeconds, windowSeconds) : capFor(best), best));
    }
    if (declineEvery > 1) {
        // Each declined frame costs the rest of the 3 s spacing; retried files are declined in turn.
        const double best = static_cast<double>(files) / static_cast<double>(declineEvery - 1) * 3.0;
        const EdgeScenario s{"declining every " + std::to_string(declineEvery) + "th file", 0, declineEvery};
        results.push_back(RunEdge(driverPath, s, files, capFor(best), best));
    }

    std::printf("## Forwarding at late and declining servers\n\n");
    std::printf(
        "%zu .ob8 files wait when the driver starts, and the station sends one live event a second until the "
        "backlog is gone from disk and taken by the server (or the run's cap). The server reads one frame at a "
        "time and acknowledges every event after the given delay, so later frames wait behind a late answer; the "
        "declining one answers one backlog frame in every %zu it receives with the plain reply (0x02000000), which "
        "acknowledges nothing, so a declined file is taken when it comes again. At the end the server answers the "
        "frame it holds and closes the connection, and the driver is stopped (it keeps on disk what it still "
        "holds). *Received* counts distinct events the server took; *duplicates* the further copies it took, and "
        "the files still on disk of events it took (or that another file holds too), which would reach it once "
        "more; *lost* the events neither taken nor on disk. *Best* is the least drain time the server's "
        "pace allows: one event every delay, the live events taking their share (none is possible at a delay of a "
        "second or more: the live events alone fill the server's pace); for the declining server, the 3 s spacing "
        "after each declined file. The cap is the larger of the clean drain × 3 + 60 s and best × 1.5 + 60 s, at most "
        "%s s (a window of %s s where no drain is possible). Goal: 0 lost, 0 duplicates.\n\n",
        files, declineEvery, Fixed(maxSeconds, 0).c_str(), Fixed(std::min(maxSeconds, windowSeconds), 0).c_str());
    std::printf(
        "| Server | Live sent | Received: backlog / live | Duplicates: taken / on disk | Lost | Left on disk | "
        "Declined | Drained in | Best | Clean drain |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (const auto& r : results) {
        const std::string drained =
            r.drained ? Fixed(r.drainSeconds, 1) + " s" : "not in " + Fixed(r.drainSeconds, 0) + " s (cap)";
        const std::string best = &r == &results.front() ? "-"
                                 : r.bestSeconds < 0    ? "none"
                                                        : Fixed(r.bestSeconds, 0) + " s";
        std::printf("| %s | %zu | %zu of %zu / %zu of %zu | %zu / %zu | %zu | %zu | %zu | %s | %s | %s s |\n",
                    r.scenario.name.c_str(), r.liveSent, r.backlogReceived, r.files, r.liveReceived, r.liveSent,
                    r.duplicates, r.onDiskReceived, r.lost, r.onDisk, r.declined, drained.c_str(), best.c_str(),
                    Fixed(cleanDrain, 1).c_str());
    }
    std::printf("\n");
    bool odd = false;
    for (const auto& r : results) {
        if (r.unknown > 0) {
            std::printf("%s: %zu events taken or left on disk that are none of the run's.\n\n", r.scenario.name.c_str(),
                        r.unknown);
            odd = true;
        }
        if (!r.survived) std::printf("%s: the driver ended during the run.\n\n", r.scenario.name.c_str());
    }
    if (odd) std::printf("\n");
    std::printf("Each run took (writing the backlog, starting and stopping the driver included): ");
    for (std::size_t i = 0; i < results.size(); ++i)
        std::printf("%s%s %s s", i ? ", " : "", results[i].scenario.name.c_str(),
                    Fixed(results[i].runSeconds, 0).c_str());
    std::printf(".\n\n");
    bool survived = true;
    for (const auto& r : results) {
        SummaryRow("Forwarding at a server " + r.scenario.name + ", " + std::to_string(r.files) +
                       " files and live events: lost / duplicates",
                   std::to_string(r.lost) + " / " + std::to_string(r.duplicates + r.onDiskReceived),
                   "0 / 0" + std::string(r.drained ? ", drained in " + Fixed(r.drainSeconds, 1) + " s"
                                                   : ", not drained in " + Fixed(r.drainSeconds, 0) + " s"),
                   r.lost + r.duplicates + r.onDiskReceived + r.unknown == 0 ? Verdict::Kept : Verdict::Over);
        survived = survived && r.survived;
    }
    return survived ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    double seconds = 0;  // taken for the common options; the backlog sets the length of a run
    std::string driverPath = DRV_DRIVER_PATH;
    std::optional<std::size_t> files;
    std::vector<int> delays;
    std::size_t stuckEvery = 0;
    bool edges = false;
    std::vector<int> late;
    std::size_t declineEvery = 10;
    double maxSeconds = 1200;
    double windowSeconds = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (TakeCommonOption(argc, argv, i, seconds, driverPath)) continue;
        if (a == "--files" && i + 1 < argc) {
            files = static_cast<std::size_t>(std::atol(argv[++i]));  // 10000 unless given; 1000 with --edges
        } else if (a == "--stuck-every" && i + 1 < argc) {
            stuckEvery = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (a == "--delay" && i + 1 < argc) {
            delays.push_back(std::atoi(argv[++i]));
        } else if (a == "--edges") {
            edges = true;
        } else if (a == "--late" && i + 1 < argc) {
            late.push_back(std::atoi(argv[++i]));
        } else if (a == "--decline-every" && i + 1 < argc) {
            declineEvery = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (a == "--max-seconds" && i + 1 < argc) {
            maxSeconds = std::atof(argv[++i]);
        } else if (a == "--window" && i + 1 < argc) {
            windowSeconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: bench_drain [--files N] [--delay MS ...] [--stuck-every K] [--driver PATH]\n"
                         "       bench_drain --edges [--files N] [--late MS ...] [--decline-every K] "
                         "[--max-seconds S] [--window S] [--driver PATH]\n");
            return 2;
        }
    }
    if (edges) {
        if (late.empty()) late = {500, 1500, 3000};
        try {
            return PrintEdges(driverPath, files.value_or(1000), declineEvery, late, maxSeconds, windowSeconds);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_drain: %s\n", e.what());
            return 1;
        }
    }
    if (delays.empty()) delays = {0, 1};
    if (stuckEvery > 1) {
        try {
            return PrintStuckComparison(driverPath, files.value_or(10000), stuckEvery);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_drain: %s\n", e.what());
            return 1;
        }
    }
    try {
        std::vector<Result> results;
        for (int d : delays) results.push_back(Run(driverPath, files.value_or(10000), d));
        std::printf("## Draining a spool backlog\n\n");
        std::printf(
            "%zu .ob8 files wait in the spool directory when the driver starts; a loopback Z8 server acknowledges "
            "every event after the given time, and the station line runs saturated with 4-byte frames (240 events "
            "a second) until the last file has reached the server. One forwarded file is outstanding at a time; "
            "the acknowledgement of one hands over the next at once. Goals: at least %s files a second with the "
            "server answering at once; no live event waiting more than %s ms behind the backlog.\n\n",
            files.value_or(10000), Fixed(kDrainGoal, 0).c_str(), Fixed(kLiveWaitGoalMs, 0).c_str());
        std::printf(
            "| Server answers in | Files a second | Drained in | Files at the server / copies / left / out of "
            "order | Live events at the server | Live wait p50 / p99 / max |\n|---|---|---|---|---|---|\n");
        for (const auto& r : results) {
            std::printf("| %d ms | %s | %s s | %zu / %zu / %zu / %zu | %zu of %zu | %s / %s / %s ms |\n", r.delayMs,
                        Fixed(r.rate, 0).c_str(), Fixed(r.drainSeconds, 1).c_str(), r.filesArrived, r.fileDuplicates,
                        r.filesLeft, r.filesOutOfOrder, r.liveAccounted, r.live, Fixed(r.liveP50, 0).c_str(),
                        Fixed(r.liveP99, 0).c_str(), Fixed(r.liveMax, 0).c_str());
        }
        std::printf("\n");
        for (const auto& r : results) {
            SummaryRow("Drain of " + std::to_string(r.files) + " spool files, server answering in " +
                           std::to_string(r.delayMs) + " ms",
                       Fixed(r.rate, 0) + " files/s",
                       r.delayMs == 0 ? "at least " + Fixed(kDrainGoal, 0) + " files/s" : "(no goal)",
                       r.delayMs == 0 ? AtLeast(r.rate, kDrainGoal) : Verdict::NoLimit);
            SummaryRow("Longest wait of a live event during that drain (" + std::to_string(r.delayMs) + " ms)",
                       Fixed(r.liveMax, 0) + " ms", "at most " + Fixed(kLiveWaitGoalMs, 0) + " ms",
                       AtMost(r.liveMax, kLiveWaitGoalMs));
            if (!r.survived) std::fprintf(stderr, "bench_drain: the driver ended during a run\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_drain: %s\n", e.what());
        return 1;
    }
    return 0;
}
