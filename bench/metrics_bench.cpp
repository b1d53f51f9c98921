// The metrics endpoint of the real driver: the time of one GET /metrics answer (connect, request, whole answer)
// with a spool backlog pending and the Z8 server down; then the latency of single station events and the idle cost
// with the endpoint off and on (on: scraped once a second, harder than Prometheus's usual 15 s).
//
// Usage: bench_metrics [--files N] [--requests N] [--frames N] [--seconds S] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/roadbench.h"
#include "tests/support/http.h"
#include "core/spool.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

constexpr double kAnswerGoalMs = 5.0;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// GET path from the loopback port; the body of the answer, empty when none came within 5 s.
std::string Get(int port, const std::string& path) { return drvtest::Http(port, "GET " + path, 5000).body; }

std::string MetricsIni(int port) { return "\n[metrics]\nPort=" + std::to_string(port) + "\n"; }

struct AnswerResult {
    std::size_t files = 0;
    std::vector<double> ms;
};

AnswerResult MeasureAnswers(const std::string& driverPath, std::size_t files, int requests) {
    AnswerResult r;
    r.files = files;
    ScratchDir dir("metrics");
    Progress("metrics: writing " + std::to_string(files) + " spool files");
    WriteZeroEventBacklog(dir, files);
    StationLine line;
    const int port = UnusedPort();
    DriverProcess driver(driverPath, dir, line.DevicePath(), UnusedPort(), MetricsIni(port));
    const std::string expect = "drvorvel_spool_files{kind=\"ob8\"} " + std::to_string(files) + "\n";
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Get(port, "/metrics").find(expect) == std::string::npos) {
        if (Clock::now() > deadline || !driver.Running())
            throw std::runtime_error("the driver's endpoint did not show the backlog");
        std::this_thread::sleep_for(milliseconds(50));
    }
    Progress("metrics: timing " + std::to_string(requests) + " answers");
    for (int i = 0; i < requests; ++i) {
        const auto t0 = Clock::now();
        if (Get(port, "/metrics").empty()) throw std::runtime_error("no answer");
        r.ms.push_back(Ms(Clock::now() - t0));
    }
    driver.Stop();
    return r;
}

struct ModeResult {
    bool metricsOn = false;
    double cpuShare = 0;
    double wakeups = 0;
    long rssKiB = 0;
    std::vector<double> latency;
    std::size_t scrapes = 0;
};

ModeResult MeasureMode(const std::string& driverPath, bool metricsOn, double seconds, std::size_t frames) {
    ModeResult r;
    r.metricsOn = metricsOn;
    ScratchDir dir(metricsOn ? "metrics-on" : "metrics-off");
    Z8End z8(true);
    StationLine line;
    const int port = UnusedPort();
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port, metricsOn ? MetricsIni(port) : std::string());
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(2000));  // past startup

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> scrapes{0};
    std::thread scraper;
    if (metricsOn) {
        scraper = std::thread([&] {
            while (!stop.load()) {
                if (!Get(port, "/metrics").empty()) ++scrapes;
                for (int i = 0; i < 20 && !stop.load(); ++i) std::this_thread::sleep_for(milliseconds(50));
            }
        });
    }
    Progress(std::string("metrics ") + (metricsOn ? "on" : "off") + ": idle for " + Fixed(seconds, 0) + " s");
    const auto before = SampleProcess(driver.pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = SampleProcess(driver.pid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!before || !after) throw std::runtime_error("the driver's figures could not be read from /proc");
    r.cpuShare = 100.0 * (after->cpuSeconds - before->cpuSeconds) / wall;
    r.wakeups = static_cast<double>(after->contextSwitches - before->contextSwitches) / wall;
    r.rssKiB = after->rssKiB;

    Progress(std::string("metrics ") + (metricsOn ? "on" : "off") + ": " + std::to_string(frames) + " frames");
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<int> pauseUs(0, 20000);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto lastByte = line.Send(MakeFrame(i, i % 2 == 0));
        if (const auto at = z8.watch->WaitForIndex(i, milliseconds(3000))) r.latency.push_back(Ms(*at - lastByte));
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
    }
    stop.store(true);
    if (scraper.joinable()) scraper.join();
    r.scrapes = scrapes.load();
    if (!driver.Running()) throw std::runtime_error("the driver ended during the run");
    driver.Stop();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    double seconds = 20;
    std::size_t files = 100000;
    int requests = 200;
    std::size_t frames = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--files" && i + 1 < argc) {
            files = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (a == "--requests" && i + 1 < argc) {
            requests = std::atoi(argv[++i]);
        } else if (a == "--frames" && i + 1 < argc) {
            frames = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (!TakeCommonOption(argc, argv, i, seconds, driverPath)) {
            std::fprintf(
                stderr, "usage: bench_metrics [--files N] [--requests N] [--frames N] [--seconds S] [--driver PATH]\n");
            return 2;
        }
    }
    if (seconds <= 0 || requests <= 0 || frames == 0) return 2;
    try {
        const AnswerResult answers = MeasureAnswers(driverPath, files, requests);
        const ModeResult off = MeasureMode(driverPath, false, seconds, frames);
        const ModeResult on = MeasureMode(driverPath, true, seconds, frames);

        const double p50 = Percentile(answers.ms, 50), p99 = Percentile(answers.ms, 99),
                     max = Percentile(answers.ms, 100);
        std::printf("## Metrics endpoint\n\n");
        std::printf(
            "One GET /metrics answer, timed from the connect to the last byte over loopback, %d times, with %zu "
            ".ob8 files pending (the Z8 server down). The counts come from the index of pending files that "
            "forwarding keeps, not from a listing. The goal is under %s ms.\n\n",
            requests, answers.files, Fixed(kAnswerGoalMs, 0).c_str());
        std::printf("| Pending files | Answer p50 / p99 / max | Goal |\n|---|---|---|\n");
        std::printf("| %zu | %s / %s / %s ms | under %s ms |\n\n", answers.files, Fixed(p50, 2).c_str(),
                    Fixed(p99, 2).c_str(), Fixed(max, 2).c_str(), Fixed(kAnswerGoalMs, 0).c_str());
        std::printf(
            "The same driver with the endpoint off and on (on: scraped once a second throughout): idle for %s s "
            "with the Z8 link up and polling, then %zu single station events, one at a time after a random pause "
            "of 0-20 ms, timed from the frame's last byte on the line to its arrival at the server. The goal is no "
            "difference beyond noise.\n\n",
            Fixed(seconds, 0).c_str(), frames);
        std::printf(
            "| Metrics | Idle CPU (one core) | Wake-ups a second | VmRSS | Latency p50 / p99 | Frames timed | "
            "Scrapes |\n|---|---|---|---|---|---|---|\n");
        for (const ModeResult* r : {&off, &on}) {
            std::printf("| %s | %s %% | %s | %s MiB | %s / %s ms | %zu of %zu | %s |\n", r->metricsOn ? "on" : "off",
                        Fixed(r->cpuShare, 2).c_str(), Fixed(r->wakeups, 0).c_str(),
                        Fixed(static_cast<double>(r->rssKiB) / 1024.0, 1).c_str(),
                        Fixed(Percentile(r->latency, 50), 1).c_str(), Fixed(Percentile(r->latency, 99), 1).c_str(),
                        r->latency.size(), frames, r->metricsOn ? std::to_string(r->scrapes).c_str() : "-");
        }
        std::printf("\n");
        if (p99 > kAnswerGoalMs)
            std::printf("**The 99th percentile of an answer is %s ms, above the goal.**\n\n", Fixed(p99, 2).c_str());
        SummaryRow("GET /metrics with " + std::to_string(answers.files) + " pending files, p99", Fixed(p99, 2) + " ms",
                   "under 5 ms");
        SummaryRow("Latency p99 / idle CPU, metrics off vs on",
                   Fixed(Percentile(off.latency, 99), 1) + " / " + Fixed(off.cpuShare, 2) + " % vs " +
                       Fixed(Percentile(on.latency, 99), 1) + " / " + Fixed(on.cpuShare, 2) + " %",
                   "no difference beyond noise");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_metrics: %s\n", e.what());
        return 1;
    }
}
