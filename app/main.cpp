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
#include "app/servicenotify.h"
#include "app/stopsignals.h"
#include "core/ma.h"
#include "ui/admshowmes.h"
#include "ui/drivericon.h"
#include "ui/pasx.h"

namespace {

// Another driver runs in the working directory, or none could be kept from it.
constexpr int kExitAlreadyRunning = 3;

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
    }

    if (options.headless) std::fprintf(stderr, "drvorvel: running headless: messages go to standard error\n");

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

    // The window lives in the tray and dialogs come and go: only an accepted close of the main window ends the run.
    QObject::connect(form1.get(), &TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ServiceNotify service;
    service.Ready();
    const int status = app.exec();
    service.Stopping();
    return status;
}
