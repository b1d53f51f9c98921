#include "core/portlog.h"

#include <cstdio>

namespace drv {
namespace {

void Say(const std::string& line) {
    std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string Duration(std::int64_t ms) {
    const std::int64_t s = (ms + 500) / 1000;
    if (s < 120) return std::to_string(s) + " s";
    if (s < 7200) return std::to_string(s / 60) + " min";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

}  // namespace

void TellPortStopped(const std::string& port, bool wasReopening) {
    Say("port " + port + " stopped by the operator" + (wasReopening ? "; the attempts to reopen it end" : "") +
        "; what the station sends is not read until the port is started again");
}

void TellPortStarted(const std::string& port, std::int64_t stoppedForMs) {
    Say("port " + port + " started by the operator" +
        (stoppedForMs >= 0 ? " after " + Duration(stoppedForMs) + " stopped" : std::string()));
}

void TellPortStartFailed(const std::string& port) {
    Say("port " + (port.empty() ? std::string("\"\"") : port) +
        " could not be started by the operator (in use or missing); it stays closed");
}

void TellPortRecoveryEnds(const std::string& port, const std::string& why) {
    Say("port " + port + ": the attempts to reopen it end: " + why);
}

}  // namespace drv
