#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/spoolbacklog.h"
#include "core/spoolfs.h"

// What keeps events from being lost when the spool directory is missing or cannot be written: the directory is
// made at startup, and at a stop the events still in memory go to a rescue directory in the working directory,
// which the next start empties into the spool. Main thread; every call blocks on the disk.
namespace drv {

// The rescue directory's name in the working directory; its files are .ob8 spool files as the driver writes them.
inline constexpr const char* kRescueDirectoryName = "spool-rescue";
// The prefix of the rescue directory's spool file paths ("<workingDirectory>/spool-rescue/").
std::string RescuePrefix(const std::string& workingDirectory);

// Makes the directory part of the spool prefix, with its parents, mode 0750, when it does not exist. Says on
// standard error what it made; a directory that cannot be made is left to the caller's write check.
void MakeSpoolDirectory(const std::string& spoolPrefix, SpoolFs& fs = SystemSpoolFs());

// At a stop: writes the events (oldest first) as .ob8 files into the rescue directory (made when missing), each
// under the stem of `value`, the next free one on a clash. What cannot be written there either is lost: its count
// goes to standard error and, as entries of error code 12, to the error log at errorLogPath (when that file can
// be written). Says on standard error how many were rescued. Returns how many were lost.
std::size_t RescueEventsAtStop(const std::vector<SpoolBacklog::Event>& events, const std::string& workingDirectory,
                               const std::string& spoolPrefix, int spoolError, std::optional<std::uint32_t> value,
                               const std::string& errorLogPath, SpoolFs& fs = SystemSpoolFs());

// At startup, once the spool can be written: moves the rescued .ob8 files into the spool (name order, each under
// its own stem or the next free one), finishing the rescue directory's unfinished files first. A file is removed
// from the rescue directory only once its copy is durable in the spool. Says on standard error how many it moved
// and how many are left. Returns how many it moved.
std::size_t ReturnRescuedEvents(const std::string& workingDirectory, const std::string& spoolPrefix,
                                SpoolFs& fs = SystemSpoolFs());

// Error log code: events that no disk could take at a stop, one entry for each.
inline constexpr std::int32_t kErrorEventsLostAtStop = 12;

}  // namespace drv
