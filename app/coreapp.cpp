#include "app/coreapp.h"

#include <exception>

#include "platform/faults.h"

namespace drv {
bool NotifyReportingFaults(const std::function<bool()>& deliver) {
    try {
        return deliver();
    } catch (const std::exception& e) {
        drv::ReportFault("an event handler", e.what());
    } catch (...) {
        drv::ReportFault("an event handler", "unknown exception");
    }
    return false;
}
}  // namespace drv

DriverCoreApplication::DriverCoreApplication(int& argc, char** argv) : QCoreApplication(argc, argv) {
    setApplicationName(QStringLiteral("drvorvel"));
}

bool DriverCoreApplication::notify(QObject* receiver, QEvent* event) {
    return drv::NotifyReportingFaults([&] { return QCoreApplication::notify(receiver, event); });
}
