#include "app/driverapp.h"

#include <exception>

#include "platform/faults.h"

DriverApplication::DriverApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("drvorvel"));
    setApplicationDisplayName(QStringLiteral("Драйвер Орвел"));
    setQuitOnLastWindowClosed(false);
}

bool DriverApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        drv::ReportFault("an event handler", e.what());
    } catch (...) {
        drv::ReportFault("an event handler", "unknown exception");
    }
    return false;
}
