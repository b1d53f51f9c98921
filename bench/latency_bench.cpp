// Latency of one station event: from the last byte of a frame written into the station line to the frame's
// arrival at the Z8 server, through the real driver. Frames go one at a time, each after the previous one has
// arrived and a random pause, so that every frame is a short serial packet of its own and meets the receive poll
// at a random phase.
//
// Usage: bench_latency [--frames N] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
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
        "The floor is the serial packet time-out (%.0f ms) plus up to one receive poll (%.0f ms): "
        "%.0f-%.0f ms. The driver's own share is the latency minus the top of the floor.\n\n",
        frames, kPacketTimeoutMs, kPollMs, floorLow, floorHigh);
    std::printf("| Figure | Measured | Floor / limit | Driver's own share |\n|---|---|---|---|\n");
    std::printf("| median | %s ms | %.0f-%.0f ms | %s |\n", Fixed(med, 1).c_str(), floorLow, floorHigh,
                share(med).c_str());
    std::printf("| 99th percentile | %s ms | %.0f-%.0f ms | %s |\n", Fixed(p99, 1).c_str(), floorLow, floorHigh,
                share(p99).c_str());
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
        "The receive poll counts the time-out from the last poll that saw new bytes, which comes 0-10 ms after "
        "the frame's last byte. The time-out must be *exceeded*: with polls exactly 10 ms apart an elapsed "
        "40 ms is not enough, so the short packet is mostly handed on at the fifth poll after that one, 50 ms "
        "after it, and at the fourth only when the millisecond tick happens to count 41. A driver that added "
        "nothing would so deliver mostly 50-60 ms after the last byte (median about 55 ms).\n\n");
    if (missing > 0) std::printf("**%zu frames did not reach the server within 3 s.**\n\n", missing);
    if (p99 > floorHigh + 20)
        std::printf("**The 99th percentile lies %s ms above the floor.**\n\n", Fixed(p99 - floorHigh, 1).c_str());
    SummaryRow("Latency, last byte to server: median / p99 / max",
               Fixed(med, 1) + " / " + Fixed(p99, 1) + " / " + Fixed(max, 1) + " ms",
               "floor " + Fixed(floorLow, 0) + "-" + Fixed(floorHigh, 0) + " ms");
    SummaryRow("Latency run: frames lost of " + std::to_string(frames), std::to_string(t.lost()), "0");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    std::size_t frames = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) {
            frames = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--driver" && i + 1 < argc) {
            driverPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_latency [--frames N] [--driver PATH]\n");
            return 2;
        }
    }
    if (frames == 0 || frames > kMaxFrames) {
        std::fprintf(stderr, "bench_latency: --frames must be 1..%zu\n", kMaxFrames);
        return 2;
    }
    try {
        return Run(driverPath, frames);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
}
