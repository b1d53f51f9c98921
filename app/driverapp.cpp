#include "app/driverapp.h"

#include "app/coreapp.h"

DriverApplication::DriverApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("drvorvel"));
    // No application display name: the X11 and Wayland platforms would append it to every window's caption
    // ("advsm — ..."), and each window's caption is exactly its own. The desktop entry names the program.
    setQuitOnLastWindowClosed(false);
}

bool DriverApplication::notify(QObject* receiver, QEvent* event) {
    return drv::NotifyReportingFaults([&] { return QApplication::notify(receiver, event); });
}
