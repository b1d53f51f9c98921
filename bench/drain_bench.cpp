// Drain rate of a spool backlog through the real driver: N .ob8 files wait in the spool directory when the driver
// starts, and a Z8 server that acknowledges every event after 0 or 1 ms takes them, while the station line runs
// saturated with 4-byte frames (240 a second) the whole time. Measures files a second from the link coming up to
// the last file at the server, and how long the live events waited meanwhile (last byte on the line to the
// server), against the goals: at least 2000 files a second at 0 ms, no live event waiting more than 100 ms.
// With --stuck-every K it compares instead a clean drain of N files with one where the server answers every K-th
// file with a code other than the acknowledgement (it is never deleted): goal, the other files drained within the
// clean time plus 10 %.
//
// Usage: bench_drain [--files N] [--delay MS ...] [--stuck-every K] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/roadbench.h"
#include "core/spool.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

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
    ServerWatch watch(server);
    StationLine line;
    DriverProcess driver(driverPath, dir, line.DevicePath(), server.Port());
    if (!line.WaitForDriverOpen(milliseconds(20000))) throw std::runtime_error("the driver did not open the line");
    if (!watch.WaitForHandshake(milliseconds(20000))) throw std::runtime_error("the driver's Z8 link did not come up");
    const auto linkUp = Clock::now();
    Progress("drain " + std::to_string(delayMs) + " ms: link up, line saturated until the backlog is gone");

    // Files that can be delivered and have reached the server, each counted once.
    auto fileArrivals = [&] {
        std::set<std::uint32_t> objects;
        for (const auto& a : watch.Arrivals()) {
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
        lastByte.push_back(line.SendScheduled(MakeFrame(i, true), start, byteIndex));
        byteIndex += 4;
        if ((i + 1) % 240 == 0) {
            const std::size_t arrived = fileArrivals();
            if ((i + 1) % 2400 == 0) Progress("drain: " + std::to_string(arrived) + " files at the server");
            if (arrived >= due) break;
        }
        if (!driver.Running()) throw std::runtime_error("the driver ended during the run");
    }
    r.live = lastByte.size();
    // The live events still on their way.
    drvtest::WaitUntil(
        [&] {
            std::size_t live = 0;
            for (const auto& a : watch.Arrivals()) live += a.index ? 1 : 0;
            return live >= r.live;
        },
        milliseconds(3000));
    r.survived = driver.Running();
    driver.Stop();

    std::set<std::uint32_t> seen;
    Clock::time_point lastFile = linkUp;
    std::vector<double> waits;
    std::set<std::size_t> liveSeen;
    for (const auto& a : watch.Arrivals()) {
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

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    double seconds = 0;  // taken for the common options; the backlog sets the length of a run
    std::string driverPath = DRV_DRIVER_PATH;
    std::size_t files = 10000;
    std::vector<int> delays;
    std::size_t stuckEvery = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (TakeCommonOption(argc, argv, i, seconds, driverPath)) continue;
        if (a == "--files" && i + 1 < argc) {
            files = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (a == "--stuck-every" && i + 1 < argc) {
            stuckEvery = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (a == "--delay" && i + 1 < argc) {
            delays.push_back(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_drain [--files N] [--delay MS ...] [--stuck-every K] [--driver PATH]\n");
            return 2;
        }
    }
    if (delays.empty()) delays = {0, 1};
    if (stuckEvery > 1) {
        try {
            return PrintStuckComparison(driverPath, files, stuckEvery);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_drain: %s\n", e.what());
            return 1;
        }
    }
    try {
        std::vector<Result> results;
        for (int d : delays) results.push_back(Run(driverPath, files, d));
        std::printf("## Draining a spool backlog\n\n");
        std::printf(
            "%zu .ob8 files wait in the spool directory when the driver starts; a loopback Z8 server acknowledges "
            "every event after the given time, and the station line runs saturated with 4-byte frames (240 events "
            "a second) until the last file has reached the server. One forwarded file is outstanding at a time; "
            "the acknowledgement of one hands over the next at once. Goals: at least %s files a second with the "
            "server answering at once; no live event waiting more than %s ms behind the backlog.\n\n",
            files, Fixed(kDrainGoal, 0).c_str(), Fixed(kLiveWaitGoalMs, 0).c_str());
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
