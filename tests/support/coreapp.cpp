#include "tests/support/coreapp.h"

#include "app/coreapp.h"
#include "tests/support/process.h"

namespace drvtest {

QCoreApplication& TestCoreApp() {
    static int argc = 1;
    static char name[] = "drvtest";
    static char* argv[] = {name, nullptr};
    static DriverCoreApplication* app = new DriverCoreApplication(argc, argv);
    return *app;
}

bool WaitWithEvents(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    return WaitUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return cond();
        },
        deadline);
}

}  // namespace drvtest
