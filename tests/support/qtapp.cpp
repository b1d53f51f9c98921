#include "tests/support/qtapp.h"

#include "app/driverapp.h"

namespace drvtest {

QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "drvtest";
    static char* argv[] = {name, nullptr};
    static DriverApplication* app = new DriverApplication(argc, argv);
    return *app;
}

}  // namespace drvtest
