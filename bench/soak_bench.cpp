// The real driver over a long run with a Z8 server that keeps going away: the server is stopped and started
// again every few seconds while the station sends steadily, with the link's own intervals (an attempt every 5 s,
// each given up after 2.5 s). Resident memory is sampled at a fixed interval; at the end the driver is stopped
// and every frame the station sent must be found, byte for byte, at the server or in a spool file.
//
// Usage: bench_soak [--seconds S] [--driver PATH] [--outage S] [--rate N] [--sample S]
//   --seconds  length of the run (default 1800)
//   --outage   the server is up for this long, then down for this long (default 10)
//   --rate     station frames a second (default 2)
//   --sample   seconds between memory samples (default 60)
// Prints a Markdown section on stdout, progress on stderr; exits 1 when a frame is lost or corrupted, or when the
// driver ended by itself.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/roadbench.h"

namespace {

using namespace bench;
using std::chrono::duration;
using std::chrono::milliseconds;

struct Options {
    std::string driverPath = DRV_DRIVER_PATH;
    double seconds = 1800;
    double outage = 10;
    double rate = 2;
    double sample = 60;
};

struct MemorySample {
    double at = 0;  // seconds into the run
    long rssKiB = 0;
};

// A Z8 server on one port that can be taken down and brought back; what reached every one of its lives is kept.
class FlakyServer {
public:
    FlakyServer() : m_port(UnusedPort()) { Up(); }

    int Port() const { return m_port; }
    bool IsUp() const { return m_server != nullptr; }

    void Up() {
        if (m_server) return;
        m_server = std::make_unique<drv::z8::Z8Server>(m_port);
        drv::z8::ServerBehaviour behaviour;
        behaviour.ackEvents = true;
        behaviour.pollAfterHello = true;
        m_server->SetBehaviour(behaviour);
        m_watch = std::make_unique<ServerWatch>(*m_server);
        ++m_lives;
    }
    void Down() {
        if (!m_server) return;
        m_server->Stop();
        Keep();
        m_watch.reset();
        m_server.reset();
        m_keptOfThisLife = 0;
    }
    // Every arrival of every life so far.
    std::vector<ServerWatch::Arrival> Arrivals() {
        Keep();
        return m_kept;
    }
    bool WaitForHandshake(milliseconds timeout) const { return m_watch && m_watch->WaitForHandshake(timeout); }
    int Lives() const { return m_lives; }

private:
    void Keep() {
        if (!m_watch) return;
        auto now = m_watch->Arrivals();
        m_kept.insert(m_kept.end(), now.begin() + static_cast<std::ptrdiff_t>(m_keptOfThisLife), now.end());
        m_keptOfThisLife = now.size();
    }

    int m_port;
    std::unique_ptr<drv::z8::Z8Server> m_server;
    std::unique_ptr<ServerWatch> m_watch;
    std::vector<ServerWatch::Arrival> m_kept;
    std::size_t m_keptOfThisLife = 0;
    int m_lives = 0;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        if (TakeCommonOption(argc, argv, i, o.seconds, o.driverPath)) continue;
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        if (a == "--outage") {
            o.outage = std::atof(argv[++i]);
        } else if (a == "--rate") {
            o.rate = std::atof(argv[++i]);
        } else if (a == "--sample") {
            o.sample = std::atof(argv[++i]);
        } else {
            return false;
        }
    }
    return o.seconds > 0 && o.outage > 0 && o.rate > 0 && o.sample > 0;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: bench_soak [--seconds S] [--driver PATH] [--outage S] [--rate N] [--sample S]\n");
        return 2;
    }
    const auto frames = static_cast<std::size_t>(o.seconds * o.rate);
    if (frames == 0 || frames > kMaxFrames) {
        std::fprintf(stderr, "bench_soak: --seconds and --rate give %zu frames (1 to %zu)\n", frames, kMaxFrames);
        return 2;
    }
    try {
        ScratchDir dir("soak");
        FlakyServer server;
        StationLine line;
        DriverProcess driver(o.driverPath, dir, line.DevicePath(), server.Port());
        if (!line.WaitForDriverOpen(milliseconds(20000))) throw std::runtime_error("the driver did not open the line");
        if (!server.WaitForHandshake(milliseconds(20000))) throw std::runtime_error("the Z8 link did not come up");
        Progress("soak: " + std::to_string(frames) + " frames over " + Fixed(o.seconds, 0) + " s, the server " +
                 Fixed(o.outage, 0) + " s up and " + Fixed(o.outage, 0) + " s down");

        std::vector<MemorySample> memory;
        const auto t0 = Clock::now();
        auto since = [&] { return duration<double>(Clock::now() - t0).count(); };
        double nextSwitch = o.outage;
        double nextSample = 0;
        bool survived = true;
        for (std::size_t i = 0; i < frames; ++i) {
            const auto due = t0 + std::chrono::duration_cast<Clock::duration>(duration<double>(i / o.rate));
            std::this_thread::sleep_until(due);
            if (since() >= nextSample) {
                const auto s = SampleProcess(driver.pid());
                if (s) memory.push_back({since(), s->rssKiB});
                nextSample += o.sample;
                Progress("soak: " + Fixed(since(), 0) + " s, " + std::to_string(i) + " frames sent, VmRSS " +
                         (s ? Fixed(static_cast<double>(s->rssKiB) / 1024.0, 2) + " MiB" : std::string("?")));
            }
            if (since() >= nextSwitch) {
                if (server.IsUp()) {
                    server.Down();
                } else {
                    server.Up();
                }
                nextSwitch += o.outage;
            }
            line.Send(MakeFrame(i, i % 2 == 0));
            if (!driver.Running()) {
                survived = false;
                break;
            }
        }
        if (const auto s = SampleProcess(driver.pid())) memory.push_back({since(), s->rssKiB});
        // The last frame has had time to be read and routed; then the driver spools what its link still holds.
        std::this_thread::sleep_for(milliseconds(1500));
        driver.Stop();
        server.Down();
        const Tally tally = CountOutcome(
            frames, [](std::size_t i) { return i % 2 == 0; }, server.Arrivals(), ReadSpoolFiles(dir.path()));

        long afterFirstMinute = 0, highest = 0, last = 0;
        for (const auto& m : memory) {
            if (afterFirstMinute == 0 && m.at >= std::min(60.0, o.seconds / 2)) afterFirstMinute = m.rssKiB;
            if (afterFirstMinute != 0) highest = std::max(highest, m.rssKiB);
            last = m.rssKiB;
        }
        const double growthMiB = static_cast<double>(highest - afterFirstMinute) / 1024.0;

        std::printf("## Soak: the Z8 server coming and going\n\n");
        std::printf(
            "The driver for %s s with the station sending %s frames a second and the Z8 server stopped and started "
            "again every %s s (%d lives of the server), with the link's own intervals. Resident memory (VmRSS) every "
            "%s s; the goal is a flat line after the first minute, within 1 MiB.\n\n",
            Fixed(o.seconds, 0).c_str(), Fixed(o.rate, 1).c_str(), Fixed(o.outage, 0).c_str(), server.Lives(),
            Fixed(o.sample, 0).c_str());
        std::printf("| Time | VmRSS |\n|---|---|\n");
        for (const auto& m : memory)
            std::printf("| %s s | %s MiB |\n", Fixed(m.at, 0).c_str(),
                        Fixed(static_cast<double>(m.rssKiB) / 1024.0, 2).c_str());
        std::printf(
            "\nGrowth after the first minute: %s MiB (highest %s MiB, last %s MiB). Frames sent %zu: at the server "
            "%zu, in spool files %zu, lost %zu, corrupted %zu, duplicates %zu.\n\n",
            Fixed(growthMiB, 2).c_str(), Fixed(static_cast<double>(highest) / 1024.0, 2).c_str(),
            Fixed(static_cast<double>(last) / 1024.0, 2).c_str(), tally.sent, tally.delivered, tally.spooled,
            tally.lost(), tally.corrupted, tally.duplicates);
        for (const auto& r : tally.lostRanges) std::printf("- lost: %s\n", r.c_str());
        for (const auto& c : tally.corruptedSamples) std::printf("- corrupted: %s\n", c.c_str());
        if (!survived) std::printf("**The driver ended during the run.**\n\n");
        if (growthMiB > 1.0) std::printf("**Resident memory grew by more than 1 MiB after the first minute.**\n\n");
        SummaryRow("Soak, server every " + Fixed(o.outage, 0) + " s: VmRSS growth / lost events",
                   Fixed(growthMiB, 2) + " MiB / " + std::to_string(tally.lost() + tally.corrupted),
                   "within 1 MiB / none",
                   AllOf({AtMost(growthMiB, 1), AtMost(static_cast<double>(tally.lost() + tally.corrupted), 0),
                          survived ? Verdict::Kept : Verdict::Over}));
        return survived && tally.lost() == 0 && tally.corrupted == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_soak: %s\n", e.what());
        return 1;
    }
}
