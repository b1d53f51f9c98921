#pragma once

#include <QApplication>
#include <chrono>
#include <functional>

namespace drvtest {

// The test process's one application object (the driver's own, with its fault handler), made on first use.
QApplication& TestApp();

// Like WaitUntil, running the main thread's events between the checks.
bool WaitWithEvents(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::seconds(20));

}  // namespace drvtest
