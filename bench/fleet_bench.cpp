// Many idle drivers on one machine, as a monitoring centre runs them (one per station): N real drivers, each in a
// working directory of its own with its own station line (a pseudo-terminal, open and silent) and its own Z8
// server port. Measures their total CPU (utime + stime of every thread of every driver) over a span, once with
// every link up (each server asks for polls, as a real one does) and once with every link down (nothing listens),
// against the goals: at most 3 % of one core for 50 drivers with links up, at most 10 % with links down.
//
// Usage: bench_fleet [--drivers N] [--seconds S] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
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
using std::chrono::milliseconds;

constexpr double kGoalShareUp = 3;     // % of one core, for 50 drivers with links up
constexpr double kGoalShareDown = 10;  // ... and with links down

// One driver with its line, its server end and its directory; members in the order they must be set up.
struct Member {
    Member(const std::string& driverPath, bool linkUp)
        : dir("fleet"), z8(linkUp), driver(driverPath, dir, line.DevicePath(), z8.port) {}
    ScratchDir dir;
    Z8End z8;
    StationLine line;
    DriverProcess driver;
};

struct Result {
    bool linkUp = false;
    int drivers = 0;
    double cpuShare = 0;  // all drivers, % of one core
    double wakeups = 0;   // all drivers, a second
    double rssMiB = 0;    // all drivers
    double pssMiB = 0;    // all drivers, shared pages counted once
    int ended = 0;        // drivers that ended during the span
};

Result RunFleet(const std::string& driverPath, int count, bool linkUp, double seconds) {
    Result r;
    r.linkUp = linkUp;
    r.drivers = count;
    const std::string label = std::string("fleet, links ") + (linkUp ? "up" : "down");
    std::vector<std::unique_ptr<Member>> fleet;
    for (int i = 0; i < count; ++i) {
        fleet.push_back(std::make_unique<Member>(driverPath, linkUp));
        WaitForDriver(fleet.back()->line, fleet.back()->z8);
        if ((i + 1) % 10 == 0) Progress(label + ": " + std::to_string(i + 1) + " drivers started");
    }
    std::this_thread::sleep_for(milliseconds(3000));  // past every startup
    Progress(label + ": measuring for " + Fixed(seconds, 0) + " s");

    const auto sampleAll = [&] {
        ProcessSample total;
        for (auto& m : fleet) {
            const auto s = SampleProcess(m->driver.pid());
            if (!s) throw std::runtime_error("a driver's figures could not be read from /proc");
            total.cpuSeconds += s->cpuSeconds;
            total.contextSwitches += s->contextSwitches;
            total.rssKiB += s->rssKiB;
            total.pssKiB += s->pssKiB;
        }
        return total;
    };
    const auto before = sampleAll();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = sampleAll();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    for (auto& m : fleet) r.ended += m->driver.Running() ? 0 : 1;
    r.cpuShare = 100.0 * (after.cpuSeconds - before.cpuSeconds) / wall;
    r.wakeups = static_cast<double>(after.contextSwitches - before.contextSwitches) / wall;
    r.rssMiB = static_cast<double>(after.rssKiB) / 1024.0;
    r.pssMiB = static_cast<double>(after.pssKiB) / 1024.0;
    for (auto& m : fleet) m->driver.Stop();
    Progress(label + ": " + Fixed(r.cpuShare, 2) + " % of one core in all");
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    double seconds = 60;
    int drivers = 50;
    for (int i = 1; i < argc; ++i) {
        if (TakeCommonOption(argc, argv, i, seconds, driverPath)) continue;
        if (std::string(argv[i]) == "--drivers" && i + 1 < argc) {
            drivers = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_fleet [--drivers N] [--seconds S] [--driver PATH]\n");
            return 2;
        }
    }
    if (seconds <= 0 || drivers <= 0) return 2;
    try {
        const Result up = RunFleet(driverPath, drivers, true, seconds);
        const Result down = RunFleet(driverPath, drivers, false, seconds);
        const auto goalOf = [&](const Result& r) { return (r.linkUp ? kGoalShareUp : kGoalShareDown) * drivers / 50.0; };
        std::printf("## Many idle drivers on one machine\n\n");
        std::printf(
            "%d drivers at once, each in its own working directory with its own station line (open and silent) "
            "and its own Z8 server port, over %s s; *links up*: every server asked for polls (a poll exchange "
            "about every 500 ms per driver); *links down*: nothing listens (a refused attempt every 5 s per "
            "driver). CPU is the sum over all drivers, as a share of one core; *PSS, all*: what the drivers take "
            "together, pages they share counted once. Goals for 50 drivers: at most %s %% of one core with links "
            "up, %s %% with links down.\n\n",
            drivers, Fixed(seconds, 0).c_str(), Fixed(kGoalShareUp, 0).c_str(), Fixed(kGoalShareDown, 0).c_str());
        std::printf(
            "| Links | Drivers | CPU, all drivers (one core) | Per driver | Wake-ups a second, all | VmRSS, all "
            "| PSS, all | Goal |\n|---|---|---|---|---|---|---|---|\n");
        for (const Result* r : {&up, &down}) {
            std::printf("| %s | %d | %s %% | %s %% | %s | %s MiB | %s MiB | at most %s %% |\n",
                        r->linkUp ? "up" : "down", r->drivers, Fixed(r->cpuShare, 2).c_str(),
                        Fixed(r->cpuShare / r->drivers, 3).c_str(), Fixed(r->wakeups, 0).c_str(),
                        Fixed(r->rssMiB, 0).c_str(), Fixed(r->pssMiB, 0).c_str(), Fixed(goalOf(*r), 1).c_str());
        }
        std::printf("\n");
        for (const Result* r : {&up, &down}) {
            const std::string links = r->linkUp ? "up" : "down";
            const double goal = goalOf(*r);
            if (r->cpuShare > goal)
                std::printf("**Links %s: %d idle drivers took %s %% of one core, above the goal of %s %%.**\n\n",
                            links.c_str(), r->drivers, Fixed(r->cpuShare, 1).c_str(), Fixed(goal, 1).c_str());
            if (r->ended > 0)
                std::printf("**Links %s: %d drivers ended during the span.**\n\n", links.c_str(), r->ended);
            SummaryRow(std::to_string(r->drivers) + " idle drivers, links " + links + ": total CPU",
                       Fixed(r->cpuShare, 2) + " %", "goal at most " + Fixed(goal, 1) + " % of one core",
                       AtMost(r->cpuShare, goal));
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_fleet: %s\n", e.what());
        return 1;
    }
}
