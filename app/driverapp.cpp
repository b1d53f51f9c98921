#include "app/driverapp.h"

#include "app/coreapp.h"

DriverApplication::DriverApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("drvorvel"));
    setApplicationDisplayName(QStringLiteral("Драйвер Орвел"));
    setQuitOnLastWindowClosed(false);
}

bool DriverApplication::notify(QObject* receiver, QEvent* event) {
    return drv::NotifyReportingFaults([&] { return QApplication::notify(receiver, event); });
}
