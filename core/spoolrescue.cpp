#include "core/spoolrescue.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "core/driverfiles.h"
#include "core/spool.h"

namespace drv {
namespace {

constexpr unsigned kDirectoryMode = 0750;
constexpr const char* kOb8 = ".ob8";

bool WriterAlive(long pid) {
    if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The value of a spool name's stem ("5265C00.ob8"); nullopt for a name that has none.
std::optional<std::uint32_t> StemValue(const std::string& name) {
    const std::string stem = name.substr(0, name.size() - std::strlen(kOb8));
    if (stem.empty() || stem.size() > 8 ||
        !std::all_of(stem.begin(), stem.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
        return std::nullopt;
    return static_cast<std::uint32_t>(std::strtoul(stem.c_str(), nullptr, 16));
}

}  // namespace

std::string RescuePrefix(const std::string& workingDirectory) {
    return workingDirectory + "/" + kRescueDirectoryName + "/";
}

void MakeSpoolDirectory(const std::string& spoolPrefix, SpoolFs& fs) {
    const std::string dir = DirectoryOf(spoolPrefix);
    std::vector<std::string> names;
    if (fs.List(dir, &names) != ENOENT) return;  // there (or not readable: the write check says why)
    if (fs.MakeDirectories(dir, kDirectoryMode) == 0)
        std::fprintf(stderr, "drvorvel: the spool directory %s did not exist and has been made (mode 0750)\n",
                     dir.c_str());
}

std::size_t RescueEventsAtStop(const std::vector<SpoolBacklog::Event>& events, const std::string& workingDirectory,
                               const std::string& spoolPrefix, int spoolError, std::optional<std::uint32_t> value,
                               const std::string& errorLogPath, SpoolFs& fs) {
    if (events.empty()) return 0;
    const std::string prefix = RescuePrefix(workingDirectory);
    int error = fs.MakeDirectories(DirectoryOf(prefix), kDirectoryMode);
    std::size_t rescued = 0;
    for (const SpoolBacklog::Event& e : events) {
        if (error != 0) break;
        const auto r = WriteSpoolFile(prefix, value, kOb8, BuildOb8(e.code, e.payload.data(), e.payload.size()), fs);
        if (!r.ok) {
            error = r.error != 0 ? r.error : EIO;
            break;
        }
        ++rescued;
    }
    const std::size_t lost = events.size() - rescued;
    if (rescued > 0) {
        std::fprintf(stderr,
                     "drvorvel: %zu events could not be written to the spool under \"%s\" (%s); they are kept in %s "
                     "and go into the spool at the next start\n",
                     rescued, spoolPrefix.c_str(), std::strerror(spoolError), DirectoryOf(prefix).c_str());
    }
    if (lost > 0) {
        std::fprintf(stderr,
                     "drvorvel: %zu events are lost with this stop: neither the spool under \"%s\" (%s) nor %s (%s) "
                     "could take them\n",
                     lost, spoolPrefix.c_str(), std::strerror(spoolError), DirectoryOf(prefix).c_str(),
                     std::strerror(error));
        try {
            AppendErrorLog(errorLogPath, kErrorEventsLostAtStop, lost);
        } catch (const std::exception& x) {
            std::fprintf(stderr, "drvorvel: the loss could not be written to the error log: %s\n", x.what());
        }
    }
    std::fflush(stderr);
    return lost;
}

std::size_t ReturnRescuedEvents(const std::string& workingDirectory, const std::string& spoolPrefix, SpoolFs& fs) {
    const std::string prefix = RescuePrefix(workingDirectory);
    const std::string dir = DirectoryOf(prefix);
    std::vector<std::string> names;
    if (fs.List(dir, &names) != 0) return 0;
    FinishLeftoverSpoolFiles(prefix, WriterAlive, fs);
    names.clear();
    if (fs.List(dir, &names) != 0) return 0;
    std::sort(names.begin(), names.end());
    std::size_t moved = 0, left = 0;
    int error = 0;
    for (const std::string& name : names) {
        if (name.size() <= std::strlen(kOb8) || name.compare(name.size() - 4, 4, kOb8) != 0) continue;
        const std::string path = prefix + name;
        const SpoolFileRead read = fs.ReadFile(path, kMaxOb8Size, true);
        if (read.status != SpoolFileRead::Status::Ok || read.bytes.size() != read.size) {
            ++left;
            if (error == 0) error = read.status == SpoolFileRead::Status::Failed ? read.error : EINVAL;
            continue;
        }
        const auto r = WriteSpoolFile(spoolPrefix, StemValue(name), kOb8, read.bytes, fs);
        if (!r.ok) {
            ++left;
            if (error == 0) error = r.error != 0 ? r.error : EIO;
            continue;
        }
        fs.Remove(path);
        ++moved;
    }
    if (moved > 0) fs.SyncDirectory(dir);
    if (moved > 0)
        std::fprintf(stderr, "drvorvel: %zu events kept in %s at the last stop have gone into the spool\n", moved,
                     dir.c_str());
    if (left > 0)
        std::fprintf(stderr, "drvorvel: %zu files in %s could not go into the spool (%s); they stay there\n", left,
                     dir.c_str(), std::strerror(error));
    if (left == 0) ::rmdir(dir.c_str());  // nothing waits any more: the directory goes until it is needed again
    std::fflush(stderr);
    return moved;
}

}  // namespace drv
