// A headless driver's start and memory, as its service runs it: from the start of the process to the Z8 hello at
// a server that is up, then, 2 s later with the link up and the station line open, its resident memory (VmRSS),
// the anonymous part of its PSS (what the process itself has written, shared libraries left out) and whether it
// mapped the GUI libraries (QtGui, QtWidgets). Each driver is started --runs times (5 unless given); the table
// gives the medians. With --baseline PATH the same figures of another build's drvorvel stand beside them, measured
// in the same run. Goal: a headless driver's VmRSS at most 18 MiB.
//
// Usage: bench_startup [--runs N] [--baseline PATH [--baseline-name TEXT]] [--driver PATH]
// Prints a Markdown section on stdout, progress on stderr.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/roadbench.h"

namespace {

using namespace bench;
using std::chrono::milliseconds;

constexpr double kGoalRssMiB = 18;

struct Run {
    double startMs = 0;
    double rssMiB = 0;
    double pssAnonMiB = 0;
    bool guiMapped = false;
};

bool MapsGui(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("libQt6Gui") != std::string::npos || line.find("libQt6Widgets") != std::string::npos) return true;
    return false;
}

Run StartOnce(const std::string& driverPath) {
    ScratchDir dir("startup");
    Z8End z8(true);
    StationLine line;
    const auto t0 = Clock::now();
    DriverProcess driver(driverPath, dir, line.DevicePath(), z8.port);
    const auto hello = z8.watch->WaitForHello(milliseconds(30000));
    if (!hello) throw std::runtime_error("no hello from " + driverPath + " within 30 s");
    WaitForDriver(line, z8);
    std::this_thread::sleep_for(milliseconds(2000));
    const auto sample = SampleProcess(driver.pid());
    if (!sample) throw std::runtime_error("the driver's figures could not be read from /proc");
    Run r;
    r.startMs = std::chrono::duration<double, std::milli>(*hello - t0).count();
    r.rssMiB = static_cast<double>(sample->rssKiB) / 1024.0;
    r.pssAnonMiB = static_cast<double>(sample->pssAnonKiB) / 1024.0;
    r.guiMapped = MapsGui(driver.pid());
    driver.Stop();
    return r;
}

struct Medians {
    double startMs = 0, rssMiB = 0, pssAnonMiB = 0;
    bool guiMapped = false;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

Medians Measure(const std::string& driverPath, int runs, const std::string& label) {
    std::vector<double> start, rss, anon;
    Medians m;
    for (int i = 0; i < runs; ++i) {
        Progress(label + ": start " + std::to_string(i + 1) + " of " + std::to_string(runs));
        const Run r = StartOnce(driverPath);
        start.push_back(r.startMs);
        rss.push_back(r.rssMiB);
        anon.push_back(r.pssAnonMiB);
        m.guiMapped = m.guiMapped || r.guiMapped;
    }
    m.startMs = Median(start);
    m.rssMiB = Median(rss);
    m.pssAnonMiB = Median(anon);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandler();
    std::string driverPath = DRV_DRIVER_PATH;
    std::string baseline, baselineName;
    double unusedSeconds = 0;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (a == "--baseline" && i + 1 < argc) {
            baseline = argv[++i];
        } else if (a == "--baseline-name" && i + 1 < argc) {
            baselineName = argv[++i];
        } else if (!TakeCommonOption(argc, argv, i, unusedSeconds, driverPath)) {
            std::fprintf(stderr, "usage: bench_startup [--runs N] [--baseline PATH [--baseline-name TEXT]] [--driver PATH]\n");
            return 2;
        }
    }
    if (runs < 1) return 2;
    try {
        struct Row {
            std::string name;
            Medians m;
        };
        std::vector<Row> rows;
        if (!baseline.empty())
            rows.push_back({"before (" + (baselineName.empty() ? baseline : baselineName) + ")",
                            Measure(baseline, runs, "baseline")});
        rows.push_back({"this build", Measure(driverPath, runs, "this build")});
        std::printf("## A headless driver's start and memory\n\n");
        std::printf(
            "The driver started `--headless` (as its service runs it) %d times, with a Z8 server up and the station "
            "line open; the medians. *Start*: from the start of the process to the Z8 hello at the server. Memory "
            "2 s later: VmRSS, and the anonymous part of the PSS (what the process itself wrote). Goal: VmRSS at "
            "most %s MiB.\n\n",
            runs, Fixed(kGoalRssMiB, 0).c_str());
        std::printf("| Driver | Start | VmRSS | PSS, anonymous | QtGui or QtWidgets mapped | Goal |\n"
                    "|---|---|---|---|---|---|\n");
        for (const auto& r : rows) {
            std::printf("| %s | %s ms | %s MiB | %s MiB | %s | VmRSS at most %s MiB |\n", r.name.c_str(),
                        Fixed(r.m.startMs, 0).c_str(), Fixed(r.m.rssMiB, 1).c_str(), Fixed(r.m.pssAnonMiB, 1).c_str(),
                        r.m.guiMapped ? "yes" : "no", Fixed(kGoalRssMiB, 0).c_str());
        }
        std::printf("\n");
        const Medians& now = rows.back().m;
        if (now.rssMiB > kGoalRssMiB)
            std::printf("**A headless driver holds %s MiB resident, above the goal of %s MiB.**\n\n",
                        Fixed(now.rssMiB, 1).c_str(), Fixed(kGoalRssMiB, 0).c_str());
        SummaryRow("Headless driver: start to hello / VmRSS / anonymous PSS",
                   Fixed(now.startMs, 0) + " ms / " + Fixed(now.rssMiB, 1) + " MiB / " + Fixed(now.pssAnonMiB, 1) +
                       " MiB",
                   "goal: VmRSS at most " + Fixed(kGoalRssMiB, 0) + " MiB", AtMost(now.rssMiB, kGoalRssMiB));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_startup: %s\n", e.what());
        return 1;
    }
}
