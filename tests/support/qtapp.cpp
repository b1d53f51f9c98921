#include "tests/support/qtapp.h"

#include "app/driverapp.h"
#include "tests/support/process.h"

namespace drvtest {

QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "drvtest";
    static char* argv[] = {name, nullptr};
    static DriverApplication* app = new DriverApplication(argc, argv);
    return *app;
}

bool WaitWithEvents(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    return WaitUntil(
        [&] {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            return cond();
        },
        deadline);
}

}  // namespace drvtest
