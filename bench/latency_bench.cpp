// Latency of one station event: from the last byte of a frame written into the station line to the frame's
// arrival at the Z8 server, through the real driver. Frames go one at a time, each after the previous one has
// arrived and a random pause, so that every frame is a short serial packet of its own.
//
// Then steady streams: frames at 1, 10, 30, 100 and 200 a second and a saturated line, each for --seconds, through a
// new driver each, timing every frame from its last byte to its arrival.
//
// Usage: bench_latency [--frames N] [--seconds S] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/roadbench.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

// The goal for the 99th percentile of the latency, single frames and steady streams alike.
constexpr double kP99GoalMs = 45;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Run(const std::string& driverPath, std::size_t frames) {
    ScratchDir dir("latency");
    drv::z8::Z8Server server;
    drv::z8::ServerBehaviour behaviour;
    behaviour.ackEvents = true;
    behaviour.pollAfterHello = true;  // as a real server does: the link polls every 500 ms when nothing is queued
    server.SetBehaviour(behaviour);
    ServerWatch watch(server);
    StationLine line;
    DriverProcess driver(driverPath, dir, line.DevicePath(), server.Port());

    if (!line.WaitForDriverOpen(milliseconds(20000))) throw std::runtime_error("the driver did not open the line");
    if (!watch.WaitForHandshake(milliseconds(20000))) throw std::runtime_error("the driver's Z8 link did not come up");
    std::this_thread::sleep_for(milliseconds(300));
    Progress("latency: link up, sending " + std::to_string(frames) + " frames one at a time");

    std::mt19937 rng(20260608);
    std::uniform_int_distribution<int> pauseUs(0, 20000);
    std::vector<double> latency;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const bool fourByte = i % 2 == 0;
        const auto lastByte = line.Send(MakeFrame(i, fourByte));
        if (const auto at = watch.WaitForIndex(i, milliseconds(3000))) {
            latency.push_back(Ms(*at - lastByte));
        } else {
            ++missing;
        }
        if (!driver.Running()) throw std::runtime_error("the driver ended during the run");
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
        if ((i + 1) % 250 == 0) Progress("latency: " + std::to_string(i + 1) + " frames");
    }
    std::this_thread::sleep_for(milliseconds(500));
    const bool survived = driver.Running();
    driver.Stop();
    const Tally t = CountOutcome(
        frames, [](std::size_t i) { return i % 2 == 0; }, watch.Arrivals(), ReadSpoolFiles(dir.path()));

    const double floorLow = kPacketTimeoutMs;
    const double floorHigh = kPacketTimeoutMs + kPollMs;
    const double med = Percentile(latency, 50);
    const double p99 = Percentile(latency, 99);
    const double max = Percentile(latency, 100);
    const double min = latency.empty() ? 0 : Percentile(latency, 0.0001);
    auto share = [&](double v) { return Fixed(v - floorHigh, 1) + " ms"; };

    std::printf("## Latency: last byte on the line to the frame at the Z8 server\n\n");
    std::printf(
        "%zu frames (4- and 5-byte, alternating) sent one at a time at 9600 bit/s, each written whole when "
        "its last byte would be done, after the previous one had arrived and a random pause of 0-20 ms; the server "
        "acknowledges at once and polls are on. "
        "The floor is the serial packet time-out (%.0f ms, counted from the arrival of the packet's first byte, "
        "which here is the moment of the write) plus its being exceeded and the timer's wake-up (%.0f ms): "
        "%.0f-%.0f ms. The driver's own share is the latency minus the top of the floor.\n\n",
        frames, kPacketTimeoutMs, kPollMs, floorLow, floorHigh);
    std::printf("| Figure | Measured | Floor / limit | Driver's own share |\n|---|---|---|---|\n");
    std::printf("| median | %s ms | %.0f-%.0f ms | %s |\n", Fixed(med, 1).c_str(), floorLow, floorHigh,
                share(med).c_str());
    std::printf("| 99th percentile | %s ms | %.0f-%.0f ms; at most %.0f ms | %s |\n", Fixed(p99, 1).c_str(), floorLow,
                floorHigh, kP99GoalMs, share(p99).c_str());
    std::printf("| maximum | %s ms | %.0f-%.0f ms | %s |\n", Fixed(max, 1).c_str(), floorLow, floorHigh,
                share(max).c_str());
    std::printf("| minimum | %s ms | %.0f-%.0f ms | |\n", Fixed(min, 1).c_str(), floorLow, floorHigh);
    std::printf("| frames timed | %zu of %zu | all | |\n", latency.size(), frames);
    std::printf("| lost (sent - delivered - spooled) | %zu | 0 | |\n", t.lost());
    std::printf("| spooled instead of delivered | %zu | 0 | |\n", t.spooled);
    std::printf("| duplicates / corrupted / out of order | %zu / %zu / %zu | 0 / 0 / 0 | |\n", t.duplicates,
                t.corrupted, t.outOfOrder);
    std::printf("| driver still running at the end | %s | yes | |\n\n", survived ? "yes" : "NO");
    std::printf(
        "The serial component wakes on the device's readiness and times the packet time-out with a precise timer "
        "from the arrival of the packet's first byte; the time-out must be *exceeded*, so a lone frame is handed "
        "on 41 ms after its first byte came: on a real line about 37 ms after its last, here (where each frame goes "
        "into the line in one write when its last byte would be done) 41 ms after that write. Goal: p99 at most "
        "45 ms.\n\n");
    if (missing > 0) std::printf("**%zu frames did not reach the server within 3 s.**\n\n", missing);
    if (p99 > kP99GoalMs)
        std::printf("**The 99th percentile, %s ms, misses its limit of %.0f ms.**\n\n", Fixed(p99, 1).c_str(),
                    kP99GoalMs);
    SummaryRow(
        "Latency, last byte to server: median / p99 / max",
        Fixed(med, 1) + " / " + Fixed(p99, 1) + " / " + Fixed(max, 1) + " ms",
        "p99 <= " + Fixed(kP99GoalMs, 0) + " ms (floor " + Fixed(floorLow, 0) + "-" + Fixed(floorHigh, 0) + " ms)",
        AtMost(p99, kP99GoalMs));
    SummaryRow("Latency run: frames lost of " + std::to_string(frames), std::to_string(t.lost()), "0",
               AtMost(static_cast<double>(t.lost() + missing), 0));
    return 0;
}

struct StreamResult {
    std::string label;
    std::size_t frames = 0;
    std::vector<double> latency;  // ms, of each frame that reached the server
    Tally tally;
    Clock::duration maxLag{};
};

// Frames at `rate` a second (0: back to back, the line saturated) for `seconds`, through a new driver.
StreamResult RunStream(const std::string& driverPath, double rate, double seconds) {
    StreamResult r;
    r.label = rate > 0 ? Fixed(rate, 0) + " frames/s" : "saturated line";
    ScratchDir dir("latency-stream");
    Z8End z8(true);
    StationLine line;
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port);
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(300));
    const double perSecond = rate > 0 ? rate : kLineBytesPerSecond / 4.5;
    r.frames = std::min<std::size_t>(kMaxFrames, std::max<std::size_t>(1, std::llround(perSecond * seconds)));
    Progress("latency: " + r.label + ", " + std::to_string(r.frames) + " frames");

    std::vector<Clock::time_point> lastByte(r.frames);
    const auto fourByte = [](std::size_t i) { return i % 2 == 0; };
    const auto start = Clock::now();
    std::size_t byteIndex = 0;
    for (std::size_t i = 0; i < r.frames; ++i) {
        const Bytes frame = MakeFrame(i, fourByte(i));
        if (rate > 0) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(static_cast<double>(i) / rate)));
            lastByte[i] = line.Send(frame);
        } else {
            lastByte[i] = line.SendScheduled(frame, start, byteIndex);
            byteIndex += frame.size();
        }
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (z8.watch->EventCount() < r.frames && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
    std::this_thread::sleep_for(milliseconds(300));
    if (!driver.Running()) throw std::runtime_error("the driver ended during the run");
    driver.Stop();

    const auto arrivals = z8.watch->Arrivals();
    std::vector<bool> timed(r.frames, false);
    for (const auto& a : arrivals) {
        if (!a.index || *a.index >= r.frames || timed[*a.index]) continue;
        timed[*a.index] = true;
        r.latency.push_back(Ms(a.at - lastByte[*a.index]));
    }
    r.tally = CountOutcome(r.frames, fourByte, arrivals, ReadSpoolFiles(dir.path()));
    r.maxLag = line.MaxLag();
    return r;
}

void RunStreams(const std::string& driverPath, double seconds) {
    std::vector<StreamResult> results;
    for (double rate : {1.0, 10.0, 30.0, 100.0, 200.0, 0.0}) results.push_back(RunStream(driverPath, rate, seconds));

    std::printf("## Latency under steady traffic\n\n");
    std::printf(
        "Frames (4- and 5-byte, alternating) at a steady rate for %s s each, through a new driver each time, the "
        "server acknowledging at once; the saturated line sends them back to back at 9600 bit/s (about 213 a "
        "second). Latency runs from the moment a frame's last byte is on the line to its arrival at the server. "
        "A packet is handed on %.0f ms after the arrival of its first byte (or at once when 256 bytes are there), "
        "so the first frame of a packet waits about 40 ms and later ones less; goal: p99 at most 45 ms, nothing "
        "lost, nothing out of order.\n\n",
        Fixed(seconds, 0).c_str(), kPacketTimeoutMs);
    std::printf("| Traffic | Frames | Median | p99 | Max | Lost | Spooled | Out of order | Duplicates / corrupted |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const auto& r : results) {
        std::printf("| %s | %zu | %s ms | %s ms | %s ms | %zu | %zu | %zu | %zu / %zu |\n", r.label.c_str(), r.frames,
                    Fixed(Percentile(r.latency, 50), 1).c_str(), Fixed(Percentile(r.latency, 99), 1).c_str(),
                    Fixed(Percentile(r.latency, 100), 1).c_str(), r.tally.lost(), r.tally.spooled, r.tally.outOfOrder,
                    r.tally.duplicates, r.tally.corrupted);
        SummaryRow("Latency at " + r.label + ": median / p99 / max; lost, out of order",
                   Fixed(Percentile(r.latency, 50), 1) + " / " + Fixed(Percentile(r.latency, 99), 1) + " / " +
                       Fixed(Percentile(r.latency, 100), 1) + " ms; " + std::to_string(r.tally.lost()) + ", " +
                       std::to_string(r.tally.outOfOrder),
                   "p99 <= 45 ms; 0, 0",
                   AllOf({AtMost(Percentile(r.latency, 99), kP99GoalMs), AtMost(static_cast<double>(r.tally.lost()), 0),
                          AtMost(static_cast<double>(r.tally.outOfOrder), 0)}));
    }
    std::printf("\n");
    const auto lag = std::max_element(results.begin(), results.end(),
                                      [](const auto& a, const auto& b) { return a.maxLag < b.maxLag; });
    std::printf("The saturated line's writer fell behind its schedule by at most %s ms.\n\n",
                Fixed(Ms(lag->maxLag), 1).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    std::size_t frames = 1000;
    double seconds = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) {
            frames = std::strtoul(argv[++i], nullptr, 10);
        } else if (!TakeCommonOption(argc, argv, i, seconds, driverPath)) {
            std::fprintf(stderr, "usage: bench_latency [--frames N] [--seconds S] [--driver PATH]\n");
            return 2;
        }
    }
    if (frames == 0 || frames > kMaxFrames) {
        std::fprintf(stderr, "bench_latency: --frames must be 1..%zu\n", kMaxFrames);
        return 2;
    }
    try {
        const int status = Run(driverPath, frames);
        RunStreams(driverPath, seconds);
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
}
