// Program entry: the options, the status command, and the run: headless here, with the driver object alone under
// the core application, or with the window in drvorvel-window (window_main.cpp), which takes this process over.
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/checkcommand.h"
#include "app/coreapp.h"
#include "app/instancelock.h"
#include "app/metricsserver.h"
#include "app/servicenotify.h"
#include "app/startup.h"
#include "app/statuscommand.h"
#include "app/statussocket.h"
#include "app/stopsignals.h"
#include "driver/driver.h"
#include "platform/version.h"

namespace {

constexpr int kExitUsage = 2;

constexpr const char* kHelpText =
    "Usage: drvorvel [--headless | --no-headless]\n"
    "       drvorvel --status [--dir DIR]\n"
    "       drvorvel --check [--dir DIR]\n"
    "       drvorvel --help | --version\n"
    "\n"
    "The alarm station driver. It runs in the directory it is started in, which holds its drvorvel.ini, and\n"
    "passes the station's events from the serial port to the Z8 server, spooling them while the server is away.\n"
    "\n"
    "  --headless     no window and nobody to click: messages go to standard error (the offscreen platform);\n"
    "                 needed where there is no display (over SSH, as a service)\n"
    "  --no-headless  keep the window's behaviour even without a display\n"
    "  --status       ask the driver that runs in this directory (or in DIR) how it is doing, through the socket\n"
    "                 drvorvel.status it keeps there; exit status 0: its station and Z8 links are up, 1: one of\n"
    "                 them is down (a closed port or a station not heard since the start counts as down),\n"
    "                 3: no driver runs there\n"
    "  --check        check drvorvel.ini and ignore.ini of this directory (or of DIR), the station port's device,\n"
    "                 the spool directory, the servers' names and the metrics port, without starting; exit status\n"
    "                 0 only when all is well\n"
    "  --dir DIR      the working directory --status or --check is about\n"
    "  --help         this text\n"
    "  --version      the driver's version\n"
    "\n"
    "Exit status of a run: 0 an orderly stop, 2 it could not start (no display without --headless, a metrics\n"
    "port another program holds, a wrong option), 3 another driver runs in the directory.\n";

// The options read before Qt starts. Of Qt's own options those a user may give are let through to it.
struct CommandLine {
    bool help = false;
    bool version = false;
    bool status = false;
    bool check = false;
    bool headless = false;
    bool noHeadless = false;
    bool platformGiven = false;  // -platform: Qt is told which platform to use
    std::string dir;
    std::string error;
};

// Qt's options (with one dash or two), with whether a value follows.
bool IsQtOption(const std::string& a, bool* takesValue) {
    static const char* const kWithValue[] = {"platform",        "platformpluginpath",
                                             "platformtheme",   "plugin",
                                             "qwindowgeometry", "qwindowicon",
                                             "qwindowtitle",    "display",
                                             "geometry",        "style",
                                             "stylesheet",      "session"};
    static const char* const kAlone[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    std::string name = a.starts_with("--") ? a.substr(2) : a.starts_with("-") ? a.substr(1) : std::string();
    if (const auto eq = name.find('='); eq != std::string::npos) name.resize(eq);
    for (const char* o : kWithValue) {
        if (name == o) {
            *takesValue = a.find('=') == std::string::npos;
            return true;
        }
    }
    for (const char* o : kAlone) {
        if (name == o) {
            *takesValue = false;
            return true;
        }
    }
    return false;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        bool takesValue = false;
        if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--version") {
            c.version = true;
        } else if (a == "--status") {
            c.status = true;
        } else if (a == "--check") {
            c.check = true;
        } else if (a == "--headless") {
            c.headless = true;
        } else if (a == "--no-headless") {
            c.noHeadless = true;
        } else if (a == "--dir") {
            if (i + 1 >= argc) {
                c.error = "--dir needs a directory";
            } else {
                c.dir = argv[++i];
            }
        } else if (IsQtOption(a, &takesValue)) {
            if (a == "-platform" || a == "--platform" || a.starts_with("-platform=") || a.starts_with("--platform="))
                c.platformGiven = true;
            if (takesValue) ++i;
        } else if (c.error.empty()) {
            c.error = "unknown option " + a;
        }
    }
    if (c.error.empty() && !c.dir.empty() && !c.status && !c.check) c.error = "--dir goes with --status or --check";
    if (c.error.empty() && c.status && c.check) c.error = "--status and --check do not go together";
    if (c.error.empty() && c.headless && c.noHeadless) c.error = "--headless and --no-headless do not go together";
    return c;
}

// Whether Qt will find a platform to draw on: one named for it, or a display of the desktop.
bool DisplayReachable(const CommandLine& c) {
    if (c.platformGiven) return true;
    const auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v != nullptr && *v != '\0';
    };
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string p = platform != nullptr ? platform : "";
    if (p.starts_with("xcb")) return set("DISPLAY");
    if (p.starts_with("wayland")) return set("WAYLAND_DISPLAY");
    if (!p.empty()) return true;  // offscreen, minimal, vnc, eglfs...: no display needed
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
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
    // Two stations on one metrics port: the second would answer for neither, so it does not start.
    if (drvapp::MetricsPortTaken(directory, {})) return drvapp::kExitCannotStart;

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

    // Declared after the driver, so that they go first: their answers read the driver's state.
    drvapp::Endpoints endpoints;
    if (!drvapp::StartEndpoints(
            directory, [d = driver.get()](bool withConfiguration) { return d->Status(withConfiguration); }, {},
            endpoints)) {
        driver->Stop();
        return drvapp::kExitCannotStart;
    }

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
    if (commandLine.check)
        return RunCheckCommand(commandLine.dir.empty() ? drvapp::CurrentDirectory() : commandLine.dir);
    if (commandLine.headless) return RunHeadless(argc, argv);
    if (!DisplayReachable(commandLine)) {
        std::fprintf(stderr,
                     "drvorvel: there is no display (DISPLAY is not set): start it with --headless, or as the "
                     "service (systemctl start drvorvel)\n");
        return drvapp::kExitCannotStart;
    }
    // The window's program loads the window's libraries; a headless run never does. It runs in this process.
    const std::string window = WindowProgram();
    if (!window.empty()) ::execv(window.c_str(), argv);
    std::fprintf(stderr, "drvorvel: the program with the window (%s) cannot be started: %s; run with --headless\n",
                 window.empty() ? "drvorvel-window" : window.c_str(),
                 window.empty() ? "not found" : std::strerror(errno));
    return 1;
}
