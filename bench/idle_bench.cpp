// The cost of the real driver doing nothing: CPU share (utime + stime of all its threads), resident memory
// (VmRSS, VmHWM) and wake-ups (context switches of all its threads) over a span with the station line open and
// silent, once with the Z8 link up (a server that polls, as a real one does) and once with the link down.
//
// Usage: bench_idle [--seconds S] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
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

constexpr double kGoalShare = 0.2;  // % of one core, link up and link down

struct Result {
    bool linkUp = false;
    double cpuShare = 0;
    double wakeups = 0;
    long rssKiB = 0;
    long hwmKiB = 0;
    int threads = 0;
    std::size_t pollsAtServer = 0;
    bool survived = true;
};

Result RunIdle(const std::string& driverPath, bool linkUp, double seconds) {
    Result r;
    r.linkUp = linkUp;
    ScratchDir dir("idle");
    Z8End z8(linkUp);
    auto& server = z8.server;
    StationLine line;
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port);
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(2000));  // past startup
    Progress(std::string("idle, link ") + (linkUp ? "up" : "down") + ": measuring for " + Fixed(seconds, 0) + " s");

    const std::size_t framesBefore = server ? server->Frames().size() : 0;
    const auto before = SampleProcess(driver.pid());
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = SampleProcess(driver.pid());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    r.survived = driver.Running();
    driver.Stop();
    if (!before || !after) throw std::runtime_error("the driver's figures could not be read from /proc");
    r.cpuShare = 100.0 * (after->cpuSeconds - before->cpuSeconds) / wall;
    r.wakeups = static_cast<double>(after->contextSwitches - before->contextSwitches) / wall;
    r.rssKiB = after->rssKiB;
    r.hwmKiB = after->hwmKiB;
    r.threads = after->threads;
    if (server) r.pollsAtServer = server->Frames().size() - framesBefore;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (!TakeCommonOption(argc, argv, i, seconds, driverPath)) {
            std::fprintf(stderr, "usage: bench_idle [--seconds S] [--driver PATH]\n");
            return 2;
        }
    }
    if (seconds <= 0) return 2;
    try {
        const Result up = RunIdle(driverPath, true, seconds);
        const Result down = RunIdle(driverPath, false, seconds);
        std::printf("## Idle cost\n\n");
        std::printf(
            "The driver over %s s with the station line open and silent; *link up*: a Z8 server that asked "
            "for polls (one poll exchange about every 500 ms); *link down*: nothing listens on the server's "
            "port (a refused connection attempt every 5 s). CPU is the share of one core; wake-ups are the "
            "context switches of all the driver's threads. An idle driver should wake only for its work: the "
            "link for a poll exchange (link up) or a connection attempt (link down), the main thread for what the "
            "link hands over and for its timers while they have work. Goal: at most %s %% of one core, link up "
            "and link down.\n\n",
            Fixed(seconds, 0).c_str(), Fixed(kGoalShare, 1).c_str());
        std::printf(
            "| Link | CPU (one core) | Goal | Wake-ups a second | VmRSS | VmHWM | Threads | Frames "
            "at the server |\n|---|---|---|---|---|---|---|---|\n");
        for (const Result* r : {&up, &down}) {
            std::printf("| %s | %s %% | at most %s %% | %s | %s MiB | %s MiB | %d | %s |\n", r->linkUp ? "up" : "down",
                        Fixed(r->cpuShare, 2).c_str(), Fixed(kGoalShare, 1).c_str(), Fixed(r->wakeups, 0).c_str(),
                        Fixed(static_cast<double>(r->rssKiB) / 1024.0, 1).c_str(),
                        Fixed(static_cast<double>(r->hwmKiB) / 1024.0, 1).c_str(), r->threads,
                        r->linkUp ? std::to_string(r->pollsAtServer).c_str() : "-");
        }
        std::printf("\n");
        for (const Result* r : {&up, &down}) {
            const std::string link = r->linkUp ? "up" : "down";
            if (r->cpuShare > kGoalShare)
                std::printf("**Link %s: the idle driver kept %s %% of a core busy, above the goal of %s %%.**\n\n",
                            link.c_str(), Fixed(r->cpuShare, 2).c_str(), Fixed(kGoalShare, 1).c_str());
            SummaryRow("Idle, link " + link + ": CPU / VmRSS / VmHWM",
                       Fixed(r->cpuShare, 2) + " % / " + Fixed(static_cast<double>(r->rssKiB) / 1024.0, 1) + " MiB / " +
                           Fixed(static_cast<double>(r->hwmKiB) / 1024.0, 1) + " MiB",
                       "goal: CPU at most " + Fixed(kGoalShare, 1) + " %", AtMost(r->cpuShare, kGoalShare));
            if (!r->survived)
                std::printf("**The driver ended during the idle run (link %s).**\n\n", r->linkUp ? "up" : "down");
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_idle: %s\n", e.what());
        return 1;
    }
}
