// The most station events a second the Z8 link carries, against a server that answers every frame after 0, 1 or
// 5 ms. The link thread (class cl, as the driver runs it, with the program's intervals) is driven in-process by a
// host of its own; its ring is kept full, so the rate is bounded only by the exchange of one frame at a time.
//
// Usage: bench_linkrate [--seconds S] [--delay MS ...]
// Prints a Markdown section on stdout, progress on stderr.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/config.h"
#include "bench/roadbench.h"
#include "z8link/Unit7.h"

namespace {

// The Z8 server named in [ServerHost] of the drvorvel.ini in dir, read at every attempt as the driver does.
std::function<drv::Z8ServerAddress()> ServerIn(const std::string& dir) {
    return [ini = dir + "/drvorvel.ini"] {
        const auto s = drv::LoadServerHostSettings(ini);
        return drv::Z8ServerAddress{s.Address, s.Port};
    };
}

using namespace bench;
using std::chrono::milliseconds;

constexpr double kGoal = 3000;  // events a second with a server answering at once

std::string Bound(int delayMs) { return delayMs > 0 ? Fixed(1000.0 / delayMs, 0) : "none"; }

// Answers the link thread at once: the benchmark has no window whose thread could hold it up.
class QuietHost final : public drv::Z8LinkHost {
public:
    void LogLine(const std::string&) override {}
    void IndicatorStep() override {}
    std::optional<HandshakeValues> ReadHandshakeValues() override {
        return HandshakeValues{"COM1", kFirstNumber, true};
    }
    void ReturnUndelivered(std::uint32_t, std::vector<std::uint8_t>) override { ++returned; }
    std::atomic<std::size_t> returned{0};
};

struct Result {
    int delayMs = 0;
    double rate = 0;
    std::size_t events = 0;
    std::size_t returned = 0;
    std::size_t corrupted = 0;
};

Result RunDelay(int delayMs, double seconds) {
    Result r;
    r.delayMs = delayMs;
    ScratchDir dir("linkrate");
    drv::z8::Z8Server server;
    AckEventsAfter(server, delayMs, false);
    ServerWatch watch(server);
    dir.write("drvorvel.ini", "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(server.Port()) + "\n");

    auto host = std::make_shared<QuietHost>();
    drv::Z8LinkConfig config;
    config.server = ServerIn(dir.path());
    cl link(host, config);
    link.Start();
    if (!watch.WaitForHandshake(milliseconds(20000))) throw std::runtime_error("the link did not come up");

    std::atomic<bool> feeding{true};
    std::atomic<std::size_t> queued{0};
    std::thread feeder([&] {
        while (feeding.load()) {
            while (link.QueuedCount() < drv::z8::OutboundRing::kSlots && feeding.load()) {
                const std::size_t i = queued.load();
                const auto event = ExpectedEvent(i % kMaxFrames, true);
                if (!link.QueuePacket(drv::kStationEventCode, {event.begin(), event.end()},
                                      drv::z8::PacketOrigin::LiveEvent))
                    break;
                queued.store(i + 1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    Progress("link rate, server answering in " + std::to_string(delayMs) + " ms: ring kept full for " +
             Fixed(seconds, 0) + " s");
    std::this_thread::sleep_for(milliseconds(500));  // the ring is full and the exchange in its stride
    const std::size_t from = watch.EventCount();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::size_t to = watch.EventCount();
    const auto t1 = Clock::now();
    feeding = false;
    feeder.join();
    link.Stop();
    server.Stop();

    r.events = to - from;
    r.rate = static_cast<double>(r.events) / std::chrono::duration<double>(t1 - t0).count();
    r.returned = host->returned.load();
    for (const auto& a : watch.Arrivals()) {
        const auto expected = a.index ? ExpectedEvent(*a.index, true) : drv::StationEvent{};
        if (!a.index || a.payload.size() != expected.size() ||
            !std::equal(expected.begin(), expected.end(), a.payload.begin()))
            ++r.corrupted;
    }
    Progress("link rate " + std::to_string(delayMs) + " ms: " + Fixed(r.rate, 1) + " events a second");
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    double seconds = 10;
    std::vector<int> delays;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--delay" && i + 1 < argc) {
            delays.push_back(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_linkrate [--seconds S] [--delay MS ...]\n");
            return 2;
        }
    }
    if (seconds <= 0) return 2;
    if (delays.empty()) delays = {0, 1, 5};
    try {
        std::vector<Result> results;
        for (int d : delays) results.push_back(RunDelay(d, seconds));
        std::printf("## Z8 link rate against the server's answer time\n\n");
        std::printf(
            "The link thread as the driver runs it (one frame outstanding; after each exchange the next queued "
            "packet leaves at once), its ring of 100 packets kept full for %s s, against a loopback server that "
            "answers every event after the given time (kept exact by the benchmark). One exchange per answer time "
            "bounds the rate; with a server answering at once the goal is at least %s events a second. The station "
            "line brings at most 240 events a second; what the link cannot carry waits in the ring and, once the "
            "ring is full, is spooled.\n\n",
            Fixed(seconds, 0).c_str(), Fixed(kGoal, 0).c_str());
        std::printf(
            "| Server answers in | Events a second | Bound (1000 / answer) | Goal | Carries a saturated line "
            "(240 a second) | Handed back at the stop / corrupted |\n|---|---|---|---|---|---|\n");
        for (const auto& r : results) {
            std::printf("| %d ms | %s | %s | %s | %s | %zu / %zu |\n", r.delayMs, Fixed(r.rate, 1).c_str(),
                        Bound(r.delayMs).c_str(), r.delayMs == 0 ? ("at least " + Fixed(kGoal, 0)).c_str() : "-",
                        r.rate >= 240 ? "yes" : "no", r.returned, r.corrupted);
        }
        std::printf("\n");
        for (const auto& r : results) {
            if (r.delayMs == 0 && r.rate < kGoal)
                std::printf(
                    "**With a server answering at once the link carried %s events a second, short of the "
                    "goal of %s.**\n\n",
                    Fixed(r.rate, 0).c_str(), Fixed(kGoal, 0).c_str());
            if (r.corrupted > 0) std::printf("**%zu events arrived corrupted.**\n\n", r.corrupted);
            SummaryRow("Z8 link, server answering in " + std::to_string(r.delayMs) + " ms: events a second",
                       Fixed(r.rate, 1),
                       r.delayMs == 0 ? "goal at least " + Fixed(kGoal, 0) : "bound " + Bound(r.delayMs),
                       r.delayMs == 0 ? AtLeast(r.rate, kGoal) : AtMost(r.rate, 1000.0 / r.delayMs));
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_linkrate: %s\n", e.what());
        return 1;
    }
}
