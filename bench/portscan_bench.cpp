// The settings page's rescan on this machine: COM1..COM32 opened and closed through their default devices
// (/dev/ttyS0..31, most of which are nodes without hardware), timed over a number of scans and printed as a
// Markdown section against the limit the operator feels: the window does not answer while a scan runs, so it must
// stay well under a second. Appends its row to the file named by DRV_BENCH_SUMMARY when that is set.
// Usage: bench_portscan [--scans N]   (default 50)
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QApplication>
#include <QComboBox>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/driverapp.h"
#include "ui/ma.h"
#include "tests/support/tempdir.h"
#include "ui/admshowmes.h"

int main(int argc, char** argv) {
    int scans = 50;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--scans" && i + 1 < argc) scans = std::max(1, std::atoi(argv[++i]));
    }
    int qtArgc = 1;
    char name[] = "bench_portscan";
    char* qtArgv[] = {name, nullptr};
    DriverApplication app(qtArgc, qtArgv);

    drvtest::TempDir dir("portscan");
    // A second configuration maps COM1..COM32 to serial device nodes of the kernel's own 8250 driver (major 4,
    // minors 64..95) made here, as on a PC whose /dev/ttyS* have no hardware behind them; only root may make them.
    std::string nodesSection = "[ports]\n";
    int made = 0;
    for (int n = 0; n < 32; ++n) {
        const std::string node = dir.file("ttyS" + std::to_string(n));
        if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(4, 64 + n)) == 0) ++made;
        nodesSection += "COM" + std::to_string(n + 1) + "=" + node + "\n";
    }
    int nodes = 0;
    for (int n = 0; n < 32; ++n) {
        struct stat st {};
        if (::stat(("/dev/ttyS" + std::to_string(n)).c_str(), &st) == 0) ++nodes;
    }

    struct Row {
        std::string what;
        std::vector<double> ms;
        int found = 0;
    };
    std::vector<Row> rows;
    const auto measure = [&](const std::string& what, const std::string& ini) {
        dir.write("drvorvel.ini", "[main]\nSendZ8=0\n" + ini);
        TForm1Options options;
        options.workingDirectory = dir.path();
        Tadvsm messages;
        TForm1 form(&messages, options);
        Row row{what, {}, 0};
        for (int i = 0; i < scans; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            form.AdvGlowButton1Click();
            row.ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::sort(row.ms.begin(), row.ms.end());
        row.found = form.AdvOfficeComboBox1->count();
        rows.push_back(row);
        form.State().RemoteCloseRequested = true;
        form.close();
    };
    measure("this machine's /dev/ttyS0..31 (" + std::to_string(nodes) + " exist)", "");
    if (made == 32) measure("32 serial nodes without hardware (made with mknod)", nodesSection);

    std::printf("## COM port rescan\n\n");
    std::printf(
        "The settings page's \"Сканировать заново\": COM1 to COM32 opened (with the full line settings) and "
        "closed again, %d scans each. The window waits for a scan, so it must stay well under a second.\n\n",
        scans);
    std::printf("| Devices | Ports that opened | Fastest | Median | Slowest | Limit |\n|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %d | %.2f ms | %.2f ms | %.2f ms | well under 1 s |\n", r.what.c_str(), r.found,
                    r.ms.front(), r.ms[r.ms.size() / 2], r.ms.back());
        if (const char* summary = std::getenv("DRV_BENCH_SUMMARY")) {
            char slowest[32];
            std::snprintf(slowest, sizeof slowest, "%.2f ms%s", r.ms.back(), r.ms.back() < 1000 ? "" : " ✗ over");
            std::ofstream(summary, std::ios::app) << "| COM port rescan, " << r.what << ": slowest of " << scans
                                                  << " | " << slowest << " | well under 1 s |\n";
        }
    }
    std::printf("\n");
    return 0;
}
