// The program with its window (drvorvel-window, started by drvorvel when it is not to run headless): the
// single-instance guard, the message window, then the main window (startup), then the closing-password dialog,
// then the message loop until the main window has closed.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <memory>
#include <string>

#include "app/driverapp.h"
#include "app/instancelock.h"
#include "app/servicenotify.h"
#include "app/startup.h"
#include "app/stopsignals.h"
#include "ui/admshowmes.h"
#include "ui/drivericon.h"
#include "ui/ma.h"
#include "ui/pasx.h"

namespace {

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

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// In sanitizer builds: the font configuration library keeps caches it never frees; that is not ours to report.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

int main(int argc, char** argv) {
    drvapp::InstallQtMessageFilter();

    DriverApplication app(argc, argv);
    QApplication::setWindowIcon(DriverIcon());

    TForm1Options options;
    options.headless = ChooseHeadless(QCoreApplication::arguments());

    // Taken before any window exists, so a second driver never opens the port or touches the spool files.
    const std::string directory = drvapp::CurrentDirectory();
    drv::InstanceLock lock(directory);
    drvapp::TellBox box;
    if (!options.headless && HasDisplay())
        box = [](const QString& text) { QMessageBox::critical(nullptr, QStringLiteral("Драйвер Орвел"), text); };
    if (!drvapp::AcquireInstanceLock(lock, directory, box)) return drvapp::kExitAlreadyRunning;
    // Two stations on one metrics port: the second would answer for neither, so it does not start.
    if (drvapp::MetricsPortTaken(directory, box)) return drvapp::kExitCannotStart;

    if (options.headless) std::fprintf(stderr, "drvorvel: running headless: messages go to standard error\n");
    drvapp::WriteConfigurationLines(directory);

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

    // Declared after the window, so that they go first: their answers read the driver's state.
    drvapp::Endpoints endpoints;
    if (!drvapp::StartEndpoints(
            directory, [f = form1.get()](bool withConfiguration) { return f->Status(withConfiguration); }, box,
            endpoints)) {
        form1->Stop();
        return drvapp::kExitCannotStart;
    }

    // The window lives in the tray and dialogs come and go: only an accepted close of the main window ends the run.
    QObject::connect(form1.get(), &TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ServiceNotify service;
    service.Ready();
    const int status = app.exec();
    service.Stopping();
    return status;
}
