#pragma once

#include <exception>
#include <string>

namespace drv {

// The general fault handler: reports an error that escaped an event handler or timer tick on standard error
// ("drvorvel: fault in <where>: <what>") and counts it. Thread-safe.
void ReportFault(const char* where, const std::string& what);
// How many faults were reported in this process.
unsigned long FaultCount();

// Runs one event handler. An exception that escapes it ends only this handler: it is reported and swallowed,
// so the event loop goes on.
template <typename F>
void RunHandler(const char* where, F&& handler) noexcept {
    try {
        handler();
    } catch (const std::exception& e) {
        ReportFault(where, e.what());
    } catch (...) {
        ReportFault(where, "unknown exception");
    }
}

}  // namespace drv
