#pragma once

#include <QCoreApplication>
#include <functional>

// The application object of a headless run (Qt Core alone). Its notify() is the last line of the general fault
// handler: an exception that escapes an event handler ends only that handler, is reported on standard error, and
// the loop goes on.
class DriverCoreApplication : public QCoreApplication {
    Q_OBJECT

public:
    DriverCoreApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

namespace drv {
// Runs deliver (an event's delivery) and reports what escapes it as a fault; false then.
bool NotifyReportingFaults(const std::function<bool()>& deliver);
}  // namespace drv
