// The metrics endpoint of the real driver: the time of one GET /metrics answer (connect, request, whole answer)
// with a spool backlog pending and the Z8 server down; then the latency of single station events and the idle cost
// with the endpoint off and on (on: scraped once a second, harder than Prometheus's usual 15 s); then the same
// station events with the metrics port attacked (thousands of idle connections, a slow request) and without.
//
// Usage: bench_metrics [--files N] [--requests N] [--frames N] [--seconds S] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/roadbench.h"
#include "core/spool.h"
#include "platform/uniquefd.h"
#include "tests/support/http.h"

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

// The metrics port attacked as a hostile local process would: kIdleConnections connections that send nothing,
// each made again as soon as the driver closes it, and one request sent a byte every 200 ms, against a driver
// limited to 1,024 descriptors (what systemd gives a service by default).
constexpr int kIdleConnections = 2000;
constexpr rlim_t kDriverFileLimit = 1024;

class MetricsAttack {
public:
    explicit MetricsAttack(int port) : m_port(port), m_thread([this] { Run(); }) {}
    ~MetricsAttack() { Stop(); }
    void Stop() {
        m_stop.store(true);
        if (m_thread.joinable()) m_thread.join();
    }
    std::size_t Reconnects() const { return m_reconnects.load(); }

private:
    drv::UniqueFd Connect() const { return drvtest::ConnectLoopback(m_port, true); }
    void Run() {
        std::vector<drv::UniqueFd> idle(kIdleConnections);
        drv::UniqueFd slow;
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        std::size_t slowSent = 0;
        auto nextByte = Clock::now();
        std::vector<pollfd> fds(idle.size());
        while (!m_stop.load()) {
            for (std::size_t i = 0; i < idle.size(); ++i) {
                if (!idle[i]) {
                    idle[i] = Connect();
                    ++m_reconnects;
                }
                fds[i] = {idle[i].get(), POLLIN, 0};
            }
            if (!slow || slowSent == request.size()) {
                slow = Connect();
                slowSent = 0;
            }
            if (Clock::now() >= nextByte) {
                if (::send(slow.get(), request.data() + slowSent, 1, MSG_NOSIGNAL) == 1) ++slowSent;
                nextByte = Clock::now() + milliseconds(200);
            }
            ::poll(fds.data(), fds.size(), 100);
            for (std::size_t i = 0; i < idle.size(); ++i) {
                if (fds[i].revents == 0) continue;
                char buf[256];
                if (::recv(idle[i].get(), buf, sizeof buf, 0) <= 0) idle[i].reset();  // closed by the driver
            }
        }
    }

    int m_port;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_reconnects{0};
    std::thread m_thread;
};

struct AttackResult {
    bool attacked = false;
    std::vector<double> latency;
    std::size_t outageSent = 0, outageDelivered = 0;
    double cpuShare = 0;
    long hwmKiB = 0;
    double answerAgainMs = 0;
    std::size_t reconnects = 0;
};

// The station sends `frames` single events (latency timed) and then, with the Z8 server away for a while,
// kOutageFrames more, which must reach it once it is back; the attack, when on, lasts from before the first frame
// to the last delivery. Then how long /metrics takes to answer once the attack has ended.
constexpr std::size_t kOutageFrames = 20;

AttackResult MeasureAttack(const std::string& driverPath, bool attacked, std::size_t frames) {
    AttackResult r;
    r.attacked = attacked;
    ScratchDir dir(attacked ? "metrics-attacked" : "metrics-quiet");
    Z8End z8(true);
    StationLine line;
    const int port = UnusedPort();
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port, MetricsIni(port));
    const rlimit limit{kDriverFileLimit, kDriverFileLimit};
    if (::prlimit(driver.pid(), RLIMIT_NOFILE, &limit, nullptr) != 0)
        throw std::runtime_error("the driver's file limit cannot be set");
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(2000));  // past startup

    std::unique_ptr<MetricsAttack> attack;
    if (attacked) {
        attack = std::make_unique<MetricsAttack>(port);
        std::this_thread::sleep_for(milliseconds(2000));  // the connections made
    }
    Progress(std::string("metrics ") + (attacked ? "attacked" : "quiet") + ": " + std::to_string(frames) + " frames");
    const auto before = SampleProcess(driver.pid());
    const auto t0 = Clock::now();
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<int> pauseUs(0, 20000);
    std::size_t index = 0;
    for (; index < frames; ++index) {
        const auto lastByte = line.Send(MakeFrame(index, index % 2 == 0));
        if (const auto at = z8.watch->WaitForIndex(index, milliseconds(3000))) r.latency.push_back(Ms(*at - lastByte));
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
    }
    // The server away: the events go to the spool, and from there to the server once it is back.
    const int z8Port = z8.port;
    z8.watch.reset();
    z8.server.reset();
    const std::size_t firstOutage = index;
    for (; index < firstOutage + kOutageFrames; ++index) {
        line.Send(MakeFrame(index, true));
        std::this_thread::sleep_for(milliseconds(100));
    }
    z8.server = std::make_unique<drv::z8::Z8Server>(z8Port);
    drv::z8::ServerBehaviour behaviour;
    behaviour.ackEvents = true;
    behaviour.pollAfterHello = true;
    z8.server->SetBehaviour(behaviour);
    z8.watch = std::make_unique<ServerWatch>(*z8.server);
    r.outageSent = kOutageFrames;
    for (std::size_t i = firstOutage; i < index; ++i)
        r.outageDelivered += z8.watch->WaitForIndex(i, milliseconds(60000)) ? 1 : 0;
    const auto after = SampleProcess(driver.pid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!before || !after) throw std::runtime_error("the driver's figures could not be read from /proc");
    r.cpuShare = 100.0 * (after->cpuSeconds - before->cpuSeconds) / wall;
    r.hwmKiB = after->hwmKiB;

    if (attack) {
        r.reconnects = attack->Reconnects();
        attack.reset();
    }
    const auto ended = Clock::now();
    while (drvtest::Http(port, "GET /metrics", 1000).status != 200) {
        if (Clock::now() - ended > std::chrono::seconds(60)) throw std::runtime_error("/metrics never answered again");
    }
    r.answerAgainMs = Ms(Clock::now() - ended);
    if (!driver.Running()) throw std::runtime_error("the driver ended during the run");
    driver.Stop();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    // The attack's connections are this process's descriptors.
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }
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
        const AttackResult quiet = MeasureAttack(driverPath, false, frames);
        const AttackResult attackedRun = MeasureAttack(driverPath, true, frames);

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
        std::printf("### Under attack\n\n");
        std::printf(
            "The metrics port attacked by a local process: %d connections that send nothing, each made again as soon "
            "as the driver closes it, and one request sent a byte every 200 ms, against a driver limited to %d "
            "descriptors. Meanwhile %zu single station events (timed as above), then the Z8 server away while %zu "
            "more are sent, and back. CPU share and peak memory (VmHWM) of the driver over that time; then how long "
            "/metrics takes to answer once the attack ends. The endpoint holds at most 16 connections, gives each "
            "5 s for its request and closes the rest at once. The goal: the same deliveries and latency as without "
            "the attack.\n\n",
            kIdleConnections, static_cast<int>(kDriverFileLimit), frames, kOutageFrames);
        std::printf(
            "| Metrics port | Latency p50 / p99 | Frames timed | Outage events delivered | CPU (one core) | VmHWM | "
            "/metrics answers again after | Attack connections made |\n|---|---|---|---|---|---|---|---|\n");
        for (const AttackResult* r : {&quiet, &attackedRun}) {
            std::printf("| %s | %s / %s ms | %zu of %zu | %zu of %zu | %s %% | %s MiB | %s ms | %s |\n",
                        r->attacked ? "attacked" : "quiet", Fixed(Percentile(r->latency, 50), 1).c_str(),
                        Fixed(Percentile(r->latency, 99), 1).c_str(), r->latency.size(), frames, r->outageDelivered,
                        r->outageSent, Fixed(r->cpuShare, 1).c_str(),
                        Fixed(static_cast<double>(r->hwmKiB) / 1024.0, 1).c_str(), Fixed(r->answerAgainMs, 0).c_str(),
                        r->attacked ? std::to_string(r->reconnects).c_str() : "-");
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
        const bool allDelivered = attackedRun.latency.size() == frames && attackedRun.outageDelivered == kOutageFrames;
        SummaryRow("Under a metrics attack: events delivered, latency p99 (quiet / attacked)",
                   std::to_string(attackedRun.latency.size() + attackedRun.outageDelivered) + " of " +
                       std::to_string(frames + kOutageFrames) + ", " + Fixed(Percentile(quiet.latency, 99), 1) + " / " +
                       Fixed(Percentile(attackedRun.latency, 99), 1) + " ms",
                   "every event, no difference beyond noise", allDelivered ? Verdict::Kept : Verdict::Under);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_metrics: %s\n", e.what());
        return 1;
    }
}
