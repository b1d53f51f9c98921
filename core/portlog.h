#pragma once

#include <cstdint>
#include <string>

// The operator's actions on the station's port, on record: one line on standard error (the journal) for each,
// naming the port. Main thread.
namespace drv {

// The operator stopped the port (closing password given). wasReopening: its device was away and being looked for.
void TellPortStopped(const std::string& port, bool wasReopening);
// The operator started the port; stoppedForMs: how long it was stopped by the operator, or -1 when it was not.
void TellPortStarted(const std::string& port, std::int64_t stoppedForMs);
// The operator's start of the port failed: it stays closed.
void TellPortStartFailed(const std::string& port);
// The attempts to reopen the port (a device that went away, or was not there at the start) end; why: what ended
// them ("the operator scans the ports").
void TellPortRecoveryEnds(const std::string& port, const std::string& why);

}  // namespace drv
