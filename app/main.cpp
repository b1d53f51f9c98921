// Program entry: the single-instance guard, the message window, then the main window (startup), then the
// closing-password dialog, then the message loop until the main window has closed.
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/driverapp.h"
#include "app/instancelock.h"
#include "app/metricsserver.h"
#include "app/servicenotify.h"
#include "app/statuscommand.h"
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

    if (options.headless) std::fprintf(stderr, "drvorvel: running headless: messages go to standard error\n");
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
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
    if (const drv::MetricsSettings settings = drv::LoadMetricsSettings(iniPath); settings.On()) {
        metrics = std::make_unique<MetricsServer>(
            [f = form1.get()](bool withConfiguration) { return f->Status(withConfiguration); });
        if (!metrics->Listen(settings)) {
            std::fprintf(stderr,
                         "drvorvel: the metrics endpoint cannot listen on %s:%d (%s); the driver runs on without it\n",
                         settings.Address.c_str(), settings.Port, metrics->Error().c_str());
            metrics.reset();
        }
    }

    // The window lives in the tray and dialogs come and go: only an accepted close of the main window ends the run.
    QObject::connect(form1.get(), &TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ServiceNotify service;
    service.Ready();
    const int status = app.exec();
    service.Stopping();
    return status;
}
