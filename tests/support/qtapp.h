#pragma once

#include <QApplication>

#include "tests/support/coreapp.h"

namespace drvtest {

// The test process's one application object (the driver's own, with its fault handler), made on first use.
QApplication& TestApp();

}  // namespace drvtest
