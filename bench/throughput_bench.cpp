// Throughput of the real driver on a saturated station line: 9600 bit/s without a gap for a given time, of
// 4-byte frames (240 a second) or of 5-byte frames (192 a second), with a Z8 server that acknowledges at once
// and with the server down (every event spooled). Every frame is numbered by its object, so the server's
// arrivals and the spool files are checked byte for byte, for gaps, copies and order.
//
// Usage: bench_throughput [--seconds S] [--driver PATH] [--case 4-up|4-down|5-up|5-down ...]
// Prints a Markdown section on stdout, progress on stderr.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/roadbench.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

// A frame whose last byte is older than this should have been handled: a serial packet is handed on 41 ms after
// its first byte arrived, and a full one (256 bytes, 267 ms of the line) builds up only while the driver is held
// up; then comes the hand-over.
constexpr double kHandledWithinMs = 350;

struct Case {
    bool fourByte = true;
    bool serverUp = true;
    std::string Name() const { return std::string(fourByte ? "4" : "5") + (serverUp ? "-up" : "-down"); }
};

struct Result {
    Case c;
    Tally tally;
    double lineSeconds = 0;
    double lastByteToLastEventMs = 0;
    std::size_t worstBacklog = 0;
    std::size_t overdueAtEnd = 0;  // frames not handled when the line fell silent, their last byte older than the limit
    double cpuShare = 0;
    long hwmKiB = 0;
    double maxLagMs = 0;
    double blockedMs = 0;
    std::vector<double> latencyMs;  // delivered events: last byte of the frame to the server
    bool survived = true;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

Result RunCase(const std::string& driverPath, const Case& c, double seconds) {
    Result r;
    r.c = c;
    const std::size_t frameSize = c.fourByte ? 4 : 5;
    const auto frames = static_cast<std::size_t>(seconds * kLineBytesPerSecond / static_cast<double>(frameSize));
    if (frames == 0 || frames > kMaxFrames) throw std::runtime_error("--seconds gives too many frames");

    ScratchDir dir("throughput");
    Z8End z8(c.serverUp);
    auto& watch = z8.watch;
    StationLine line;
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port);
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(500));  // with the server down: the first attempt has been refused
    Progress("throughput " + c.Name() + ": " + std::to_string(frames) + " frames back to back for " +
             Fixed(seconds, 0) + " s");

    auto handled = [&] { return (watch ? watch->EventCount() : 0) + CountSpoolFiles(dir.path()); };

    // How many frames are overdue now: sent long enough ago, not yet at the server or spooled.
    std::vector<Clock::time_point> lastByte(frames);
    std::atomic<std::size_t> sentCount{0};
    const auto overdue = [&] {
        const std::size_t done = handled();
        const std::size_t n = sentCount.load(std::memory_order_acquire);
        const auto cutoff = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double, std::milli>(kHandledWithinMs));
        const auto due = static_cast<std::size_t>(
            std::upper_bound(lastByte.begin(), lastByte.begin() + static_cast<std::ptrdiff_t>(n), cutoff) -
            lastByte.begin());
        return due > done ? due - done : 0;
    };
    // The monitor samples it while the line runs.
    std::atomic<bool> sending{true};
    std::thread monitor([&] {
        while (sending.load()) {
            std::this_thread::sleep_for(milliseconds(250));
            r.worstBacklog = std::max(r.worstBacklog, overdue());
        }
    });

    const auto before = SampleProcess(driver.pid());
    const auto start = Clock::now() + milliseconds(5);
    std::size_t byteIndex = 0;
    try {
        for (std::size_t i = 0; i < frames; ++i) {
            lastByte[i] = line.SendScheduled(MakeFrame(i, c.fourByte), start, byteIndex);
            sentCount.store(i + 1, std::memory_order_release);
            byteIndex += frameSize;
            if ((i + 1) % std::max<std::size_t>(1, frames / 4) == 0)
                Progress("throughput " + c.Name() + ": " + std::to_string(i + 1) + " sent");
        }
    } catch (...) {
        sending = false;
        monitor.join();
        throw;
    }
    const auto end = lastByte[frames - 1];
    r.overdueAtEnd = overdue();
    const auto after = SampleProcess(driver.pid());
    r.lineSeconds = std::chrono::duration<double>(end - start).count();
    r.maxLagMs = Ms(line.MaxLag());
    r.blockedMs = Ms(line.BlockedTime());

    // Waits until everything is accounted for, or nothing has moved for 5 s.
    std::size_t last = handled();
    auto lastChange = Clock::now();
    auto lastEvent = Clock::now();
    while (last < frames && Clock::now() - lastChange < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(milliseconds(5));
        const std::size_t now = handled();
        if (now != last) {
            last = now;
            lastChange = lastEvent = Clock::now();
        }
    }
    sending = false;
    monitor.join();
    r.survived = driver.Running();
    driver.Stop();

    std::vector<ServerWatch::Arrival> arrivals;
    if (watch) {
        arrivals = watch->Arrivals();
        if (!arrivals.empty())
            lastEvent =
                std::max_element(arrivals.begin(), arrivals.end(), [](auto& a, auto& b) { return a.at < b.at; })->at;
        for (const auto& a : arrivals) {
            if (a.index && *a.index < frames) r.latencyMs.push_back(Ms(a.at - lastByte[*a.index]));
        }
    }
    r.lastByteToLastEventMs = Ms(lastEvent - end);
    r.tally = CountOutcome(
        frames, [&](std::size_t) { return c.fourByte; }, arrivals, ReadSpoolFiles(dir.path()));
    if (before && after) {
        r.cpuShare = 100.0 * (after->cpuSeconds - before->cpuSeconds) / r.lineSeconds;
        r.hwmKiB = after->hwmKiB;
    }
    Progress("throughput " + c.Name() + ": " + std::to_string(r.tally.delivered) + " delivered, " +
             std::to_string(r.tally.spooled) + " spooled, " + std::to_string(r.tally.lost()) + " lost");
    return r;
}

void Print(const std::vector<Result>& results, double seconds) {
    std::printf("## Throughput: a saturated station line\n\n");
    std::printf(
        "The station line at 9600 bit/s without a gap for %s s (960 bytes a second: at most 240 four-byte or "
        "192 five-byte frames a second), every frame numbered by its object. *Up*: a Z8 server that "
        "acknowledges every event at once (polls on). *Down*: nothing listens on the server's port, so every "
        "event must become one .ob8 file. Lost = sent - delivered - spooled; every delivered event and every "
        "spool file is compared byte for byte with the event its frame must give.\n\n",
        Fixed(seconds, 0).c_str());
    std::printf(
        "| Frames | Server | Sent | Delivered | Spooled | Lost | Copies / corrupted / out of order |\n"
        "|---|---|---|---|---|---|---|\n");
    for (const auto& r : results) {
        std::printf("| %s-byte | %s | %zu | %zu | %zu | %s | %zu / %zu / %zu |\n", r.c.fourByte ? "4" : "5",
                    r.c.serverUp ? "up" : "down", r.tally.sent, r.tally.delivered, r.tally.spooled,
                    r.tally.lost() == 0 ? "0" : ("**" + std::to_string(r.tally.lost()) + "**").c_str(),
                    r.tally.duplicates, r.tally.corrupted, r.tally.outOfOrder);
    }
    std::printf(
        "\nWhether the driver kept pace shows in how late it is, not in events a second: a line of %s s carries its "
        "frames in %s s whatever the driver does with them.\n",
        Fixed(seconds, 0).c_str(), Fixed(seconds, 0).c_str());
    std::printf(
        "\n| Frames | Server | Last byte to last event handled | Overdue (> %.0f ms) at the line's end / most during "
        "it | Delivery median / p99 / max | Driver CPU (one core) | Driver peak RSS | Writer's largest lag / time "
        "blocked |\n|---|---|---|---|---|---|---|---|\n",
        kHandledWithinMs);
    for (const auto& r : results) {
        const std::string delivery = r.latencyMs.empty() ? "-"
                                                         : Fixed(Percentile(r.latencyMs, 50), 0) + " / " +
                                                               Fixed(Percentile(r.latencyMs, 99), 0) + " / " +
                                                               Fixed(Percentile(r.latencyMs, 100), 0) + " ms";
        std::printf("| %s-byte | %s | %s ms | %zu / %zu | %s | %s %% | %s MiB | %s ms / %s ms |\n",
                    r.c.fourByte ? "4" : "5", r.c.serverUp ? "up" : "down", Fixed(r.lastByteToLastEventMs, 0).c_str(),
                    r.overdueAtEnd, r.worstBacklog, delivery.c_str(), Fixed(r.cpuShare, 1).c_str(),
                    Fixed(static_cast<double>(r.hwmKiB) / 1024.0, 1).c_str(), Fixed(r.maxLagMs, 1).c_str(),
                    Fixed(r.blockedMs, 0).c_str());
    }
    std::printf(
        "\nLimits: the last event should be handled at most about 45 ms after the line falls silent (the packet "
        "time-out, counted from the arrival of the packet's first byte); none overdue means the driver kept pace "
        "with the line throughout; in a saturated line a packet is handed on 41 ms after its first byte arrived, "
        "so a frame waits at most about 45 ms. The writer's lag (how late a "
        "frame went into the line at worst) shows "
        "that the line really was kept saturated; a few ms is the benchmark's own scheduling.\n\n");
    for (const auto& r : results) {
        const std::string name =
            std::string(r.c.fourByte ? "4" : "5") + "-byte frames, server " + (r.c.serverUp ? "up" : "down");
        if (!r.survived) std::printf("**The driver ended during the %s run.**\n\n", name.c_str());
        if (r.tally.lost() > 0 || r.tally.duplicates > 0 || r.tally.corrupted > 0) {
            std::printf("**%s: %zu lost, %zu copies, %zu corrupted.**\n\n", name.c_str(), r.tally.lost(),
                        r.tally.duplicates, r.tally.corrupted);
            std::string ranges;
            for (const auto& range : r.tally.lostRanges) ranges += (ranges.empty() ? "" : ", ") + range;
            if (!ranges.empty()) std::printf("- frames lost (first runs of them): %s\n", ranges.c_str());
            for (const auto& sample : r.tally.corruptedSamples) std::printf("- %s\n", sample.c_str());
            if (!r.tally.corruptedSamples.empty()) std::printf("\n");
        }
        if (r.worstBacklog > 0)
            std::printf(
                "**%s: up to %zu events were still waiting %.0f ms after their last byte: the driver fell "
                "behind the line.**\n\n",
                name.c_str(), r.worstBacklog, kHandledWithinMs);
        if (r.cpuShare > 50)
            std::printf("**%s: the driver used %s %% of a core for a line of 960 bytes a second.**\n\n", name.c_str(),
                        Fixed(r.cpuShare, 0).c_str());
        SummaryRow("Saturated line, " + name + ": last byte to last event / overdue at the line's end / lost",
                   Fixed(r.lastByteToLastEventMs, 0) + " ms / " + std::to_string(r.overdueAtEnd) + " / " +
                       std::to_string(r.tally.lost()),
                   "at most 45 ms / 0 / 0",
                   AllOf({AtMost(r.lastByteToLastEventMs, 45), AtMost(static_cast<double>(r.overdueAtEnd), 0),
                          AtMost(static_cast<double>(r.tally.lost() + r.tally.duplicates + r.tally.corrupted), 0),
                          r.survived ? Verdict::Kept : Verdict::Over}));
    }
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    double seconds = 60;
    std::vector<Case> cases;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (TakeCommonOption(argc, argv, i, seconds, driverPath)) {
            continue;
        }
        if (a == "--case" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v != "4-up" && v != "4-down" && v != "5-up" && v != "5-down") {
                std::fprintf(stderr, "bench_throughput: unknown case %s\n", v.c_str());
                return 2;
            }
            cases.push_back({v[0] == '4', v.substr(2) == "up"});
        } else {
            std::fprintf(stderr,
                         "usage: bench_throughput [--seconds S] [--driver PATH] [--case 4-up|4-down|5-up|5-down]\n");
            return 2;
        }
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "bench_throughput: --seconds must be above 0\n");
        return 2;
    }
    if (cases.empty()) cases = {{true, true}, {false, true}, {true, false}, {false, false}};
    try {
        std::vector<Result> results;
        for (const auto& c : cases) results.push_back(RunCase(driverPath, c, seconds));
        Print(results, seconds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_throughput: %s\n", e.what());
        return 1;
    }
}
