// Program entry: the single-instance guard, the message window, then the main window (startup), then the
// closing-password dialog, then the message loop until the main window has closed.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/checkcommand.h"
#include "app/driverapp.h"
#include "app/instancelock.h"
#include "app/metricsformat.h"
#include "app/metricsserver.h"
#include "app/portowner.h"
#include "app/servicenotify.h"
#include "app/statuscommand.h"
#include "app/statussocket.h"
#include "app/stopsignals.h"
#include "core/configcheck.h"
#include "core/ma.h"
#include "platform/inifile.h"
#include "platform/version.h"
#include "ui/admshowmes.h"
#include "ui/drivericon.h"
#include "ui/pasx.h"

namespace {

// Another driver runs in the working directory, or none could be kept from it.
constexpr int kExitAlreadyRunning = 3;
constexpr int kExitUsage = 2;

// A metrics port that another program holds, or a display that is not there.
constexpr int kExitCannotStart = 2;

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

// Qt's complaint that XDG_RUNTIME_DIR is not set (as under a system service) says nothing to the people who run
// the driver; every other message goes on as before.
QtMessageHandler g_qtMessageHandler = nullptr;
void FilterQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
    if (g_qtMessageHandler != nullptr) {
        g_qtMessageHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

std::string CurrentDirectory() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string(".");
}

// Whether a message box would reach a person: not on the headless platforms.
bool HasDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// Headless unless a display is there or --no-headless asks for the window all the same (it keeps the modal
// windows waiting for a click, also on the offscreen platform: tests of the windowed behaviour use it).
bool ChooseHeadless(const QStringList& arguments) {
    if (arguments.contains(QStringLiteral("--headless"))) return true;
    if (arguments.contains(QStringLiteral("--no-headless"))) return false;
    return !HasDisplay();
}

// Says why this start ends: on standard error, and in a message box when a person can see one.
void TellNoStart(const std::string& line, const QString& box, bool headless) {
    std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
    if (headless || !HasDisplay()) return;  // nobody to click the box away
    QMessageBox::critical(nullptr, QStringLiteral("Драйвер Орвел"), box);
}

void TellAlreadyRunning(const drv::InstanceLock& lock, const std::string& directory, bool headless) {
    const std::string owner = lock.OwnerPid() > 0 ? " (process " + std::to_string(lock.OwnerPid()) + ")" : "";
    TellNoStart(
        "a driver already runs in " + directory + owner + "; it keeps the port and the spool files, this start ends.",
        QStringLiteral("Драйвер уже запущен в папке\n%1\n\nВторой запуск завершён.")
            .arg(QString::fromStdString(directory)),
        headless);
}

// Two drivers on one port and one spool lose events: without the guard there is no run.
void TellUnguarded(const drv::InstanceLock& lock, const std::string& directory, bool headless) {
    const char* reason = std::strerror(lock.Error());
    TellNoStart("cannot lock the working directory " + directory + " (" + reason +
                    "), so nothing keeps a second driver from taking the same port and spool files; this start ends.",
                QStringLiteral("Папку\n%1\nнельзя заблокировать (%2): второй драйвер мог бы работать в ней же."
                               "\n\nЗапуск завершён.")
                    .arg(QString::fromStdString(directory), QString::fromLocal8Bit(reason)),
                headless);
}

// Says so when another program listens on the metrics port of this station's drvorvel.ini, naming it.
bool TellMetricsPortTaken(const drv::MetricsSettings& settings, const std::string& iniPath, bool headless) {
    const PortListener listener = FindPortListener(settings.Address, settings.Port);
    if (!listener.found) return false;
    const std::string where = settings.Address + ":" + std::to_string(settings.Port);
    TellNoStart("the metrics port " + where + " ([metrics] Port of " + iniPath + ") is taken by " +
                    DescribeListener(listener) + "; give each station its own [metrics] Port. This start ends.",
                QStringLiteral("Порт метрик %1 занят: %2.\n\nЗапуск завершён.")
                    .arg(QString::fromStdString(where), QString::fromStdString(DescribeListener(listener))),
                headless);
    return true;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// In sanitizer builds: the font configuration library keeps caches it never frees; that is not ours to report.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

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
    if (commandLine.status) return RunStatusCommand(commandLine.dir.empty() ? CurrentDirectory() : commandLine.dir);
    if (commandLine.check) return RunCheckCommand(commandLine.dir.empty() ? CurrentDirectory() : commandLine.dir);
    if (!commandLine.headless && !DisplayReachable(commandLine)) {
        std::fprintf(stderr,
                     "drvorvel: there is no display (DISPLAY is not set): start it with --headless, or as the "
                     "service (systemctl start drvorvel)\n");
        return kExitCannotStart;
    }
    // Headless needs no display: the platform is chosen before Qt looks for one.
    if (commandLine.headless) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_qtMessageHandler = qInstallMessageHandler(FilterQtMessage);

    DriverApplication app(argc, argv);
    QApplication::setWindowIcon(DriverIcon());

    TForm1Options options;
    options.headless = ChooseHeadless(QCoreApplication::arguments());

    // Taken before any window exists, so a second driver never opens the port or touches the spool files.
    const std::string directory = CurrentDirectory();
    drv::InstanceLock lock(directory);
    switch (lock.Acquire()) {
        case drv::InstanceLock::Outcome::Acquired:
            break;
        case drv::InstanceLock::Outcome::HeldByAnother:
            TellAlreadyRunning(lock, directory, options.headless);
            return kExitAlreadyRunning;
        case drv::InstanceLock::Outcome::Unavailable:
            TellUnguarded(lock, directory, options.headless);
            return kExitAlreadyRunning;
        case drv::InstanceLock::Outcome::Unsafe:
            TellNoStart(lock.Problem() + "; this start ends, every file left as it was.",
                        QString::fromStdString(lock.Problem()), options.headless);
            return kExitAlreadyRunning;
    }

    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    // Two stations on one metrics port: the second would answer for neither, so it does not start.
    const drv::MetricsSettings metricsSettings = drv::LoadMetricsSettings(iniPath);
    if (metricsSettings.On() && TellMetricsPortTaken(metricsSettings, iniPath, options.headless))
        return kExitCannotStart;
    if (options.headless) std::fprintf(stderr, "drvorvel: running headless: messages go to standard error\n");
    for (const std::string& line : drv::ConfigurationWarnings(iniPath))
        std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
    std::fprintf(stderr, "drvorvel: %s\n", drv::ConfigurationLine(directory).c_str());
    std::fflush(stderr);

    // A stop signal ends the run in order from any event loop, also one of a message shown during startup.
    // The message window outlives the main window, whose shutdown may still have something to say.
    StopSignals stopSignals;
    auto advsm = std::make_unique<Tadvsm>();
    std::unique_ptr<TForm1> form1;
    stopSignals.SetStopAction([&form1] {
        if (form1) {
            form1->Stop();
        } else {
            TForm1::EndEveryEventLoop();
        }
    });
    options.stopRequested = [&stopSignals] { return stopSignals.Requested(); };

    form1 = std::make_unique<TForm1>(advsm.get(), std::move(options));
    if (stopSignals.Requested()) {
        form1->Stop();
        return 0;
    }
    auto form2 = std::make_unique<TForm2>([f = form1.get()] { return f->State().ClosePassword; });
    form1->SetPasswordDialog(form2.get());
    if (!form1->Headless()) form1->show();

    // Declared after the window, so that it goes first: its answers read the window's state.
    std::unique_ptr<MetricsServer> metrics;
    if (const drv::MetricsSettings& settings = metricsSettings; settings.On()) {
        metrics = std::make_unique<MetricsServer>(
            [f = form1.get()](bool withConfiguration) { return f->Status(withConfiguration); });
        if (!metrics->Listen(settings)) {
            // Taken since the check above: the same end.
            if (TellMetricsPortTaken(settings, iniPath, form1->Headless())) {
                metrics.reset();
                form1->Stop();
                return kExitCannotStart;
            }
            std::fprintf(stderr,
                         "drvorvel: the metrics endpoint cannot listen on %s:%d (%s); the driver runs on without it\n",
                         settings.Address.c_str(), settings.Port, metrics->Error().c_str());
            metrics.reset();
        }
    }

    // `drvorvel --status` asks here: only the driver of this directory can answer there.
    StatusSocket statusSocket(directory, [f = form1.get()] { return StatusJson(f->Status(true)); });
    if (!statusSocket.Listen())
        std::fprintf(stderr, "drvorvel: the status socket %s/%s cannot be made (%s); drvorvel --status cannot ask\n",
                     directory.c_str(), StatusSocket::kFileName, statusSocket.Error().c_str());

    // The window lives in the tray and dialogs come and go: only an accepted close of the main window ends the run.
    QObject::connect(form1.get(), &TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ServiceNotify service;
    service.Ready();
    const int status = app.exec();
    service.Stopping();
    return status;
}
