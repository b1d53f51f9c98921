// Program entry: the options, the status command, and the run: headless here, with the driver object alone under
// the core application, or with the window in drvorvel-window (window_main.cpp), which takes this process over.
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/coreapp.h"
#include "app/instancelock.h"
#include "app/metricsserver.h"
#include "app/servicenotify.h"
#include "app/startup.h"
#include "app/statuscommand.h"
#include "app/stopsignals.h"
#include "driver/driver.h"
#include "platform/version.h"

namespace {

constexpr int kExitUsage = 2;

constexpr const char* kHelpText =
    "Usage: drvorvel [--headless | --no-headless]\n"
    "       drvorvel --status [--dir DIR]\n"
    "       drvorvel --help | --version\n"
    "\n"
    "The alarm station driver. It runs in the directory it is started in, which holds its drvorvel.ini, and\n"
    "passes the station's events from the serial port to the Z8 server, spooling them while the server is away.\n"
    "\n"
    "  --headless     no window and nobody to click: messages go to standard error (the offscreen platform)\n"
    "  --no-headless  keep the window's behaviour even without a display\n"
    "  --status       ask the driver of this directory (or of --dir DIR) how it is doing, through the metrics\n"
    "                 endpoint of its drvorvel.ini ([metrics] Address, Port); exit status 0: it answers and its\n"
    "                 station and Z8 links are up, 1: it answers with a link down, 3: no driver answers\n"
    "  --dir DIR      the working directory --status asks about\n"
    "  --help         this text\n"
    "  --version      the driver's version\n";

// The options read before Qt starts; Qt's own options (-platform and the like) are left to it.
struct CommandLine {
    bool help = false;
    bool version = false;
    bool status = false;
    bool headless = false;
    std::string dir;
    std::string error;
};

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--version") {
            c.version = true;
        } else if (a == "--status") {
            c.status = true;
        } else if (a == "--headless") {
            c.headless = true;
        } else if (a == "--dir") {
            if (i + 1 >= argc) {
                c.error = "--dir needs a directory";
            } else {
                c.dir = argv[++i];
            }
        }
    }
    if (!c.dir.empty() && !c.status) c.error = "--dir goes with --status";
    return c;
}

// Without a window: the driver object under the core application, its view standard error. What the window would
// show goes nowhere; messages and the link lines that the journal keeps go to standard error.
class HeadlessView final : public drv::DriverView {
public:
    void SetDriver(drv::Driver* driver) { m_driver = driver; }
    // The Z7 server's close command: the port closes and the run ends, as a window would close.
    void RemoteClose() override {
        if (m_driver != nullptr) {
            try {
                m_driver->ClosePort();
            } catch (...) {
            }
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    }

private:
    drv::Driver* m_driver = nullptr;
};

int RunHeadless(int argc, char** argv) {
    drvapp::InstallQtMessageFilter();
    DriverCoreApplication app(argc, argv);

    drv::DriverOptions options;
    options.headless = true;

    // Taken before the driver exists, so a second driver never opens the port or touches the spool files.
    const std::string directory = drvapp::CurrentDirectory();
    drv::InstanceLock lock(directory);
    if (!drvapp::AcquireInstanceLock(lock, directory, {})) return drvapp::kExitAlreadyRunning;

    std::fprintf(stderr, "drvorvel: running headless: messages go to standard error\n");
    drvapp::WriteConfigurationLines(directory);

    // A stop signal ends the run in order from the event loop; during startup, startup goes no further.
    StopSignals stopSignals;
    HeadlessView view;
    std::unique_ptr<drv::Driver> driver;
    bool started = false;
    stopSignals.SetStopAction([&driver, &started] {
        if (started) {
            driver->Stop();
        } else {
            QCoreApplication::exit(0);
        }
    });
    options.stopRequested = [&stopSignals] { return stopSignals.Requested(); };

    driver = std::make_unique<drv::Driver>(&view, std::move(options));
    view.SetDriver(driver.get());
    driver->Start();
    started = true;
    if (stopSignals.Requested()) {
        driver->Stop();
        return 0;
    }

    // Declared after the driver, so that it goes first: its answers read the driver's state.
    const std::unique_ptr<MetricsServer> metrics = drvapp::StartMetricsEndpoint(
        directory, [d = driver.get()](bool withConfiguration) { return d->Status(withConfiguration); });

    ServiceNotify service;
    service.Ready();
    const int status = app.exec();
    service.Stopping();
    return status;
}

// The program with its window, next to this one in the build tree, or in the package's own directory.
std::string WindowProgram() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    for (const std::string& candidate : {dir + "/drvorvel-window", dir + "/" DRV_WINDOW_PROGRAM}) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    if (!commandLine.error.empty()) {
        std::fprintf(stderr, "drvorvel: %s\n%s", commandLine.error.c_str(), kHelpText);
        return kExitUsage;
    }
    if (commandLine.help) {
        std::fputs(kHelpText, stdout);
        return 0;
    }
    if (commandLine.version) {
        std::printf("drvorvel %s\n", drv::DriverVersionString());
        return 0;
    }
    if (commandLine.status)
        return RunStatusCommand(commandLine.dir.empty() ? drvapp::CurrentDirectory() : commandLine.dir);
    if (commandLine.headless) return RunHeadless(argc, argv);
    // The window's program loads the window's libraries; a headless run never does. It runs in this process.
    const std::string window = WindowProgram();
    if (!window.empty()) ::execv(window.c_str(), argv);
    std::fprintf(stderr, "drvorvel: the program with the window (%s) cannot be started: %s; run with --headless\n",
                 window.empty() ? "drvorvel-window" : window.c_str(),
                 window.empty() ? "not found" : std::strerror(errno));
    return 1;
}
