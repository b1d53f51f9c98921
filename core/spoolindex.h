#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/uniquefd.h"

namespace drv {

// Where the spool files of one pattern live: prefix + "*" + suffix, the prefix being PathForSoob taken as a
// plain prefix of file names (its directory part, then the start of every name).
struct SpoolPattern {
    SpoolPattern(const std::string& prefix, std::string suffix);

    std::string directory;   // the directory part of the prefix ("." when it has none)
    std::string namePrefix;  // what follows the last '/' of the prefix
    std::string suffix;      // ".ob8", ".obz"

    bool Matches(const std::string& name) const;
    std::string PathOf(const std::string& name) const;
};

// The pending files of one spool pattern, oldest first (modification time, then name). Main thread only.
// It holds what one listing found plus what it has been told since; it never lists the directory by itself.
class SpoolIndex {
public:
    explicit SpoolIndex(SpoolPattern pattern);

    const SpoolPattern& Pattern() const { return m_pattern; }

    // Replaces the content with one listing of the directory. False (and the content kept) when the directory
    // cannot be listed.
    bool Rescan();
    // Takes in the file of that name (a bare name or a full path) when it matches the pattern and exists;
    // a file already known keeps its place.
    void Add(const std::string& name);
    // Forgets the file (a bare name or a full path); nothing when it is unknown.
    void Remove(const std::string& name);

    // The oldest pending file that is not in flight; nullopt when there is none.
    std::optional<std::string> First() const;
    std::size_t Size() const { return m_byName.size(); }
    // The modification time (ns since the epoch) of the oldest pending file, in flight or not; nullopt when none.
    std::optional<std::int64_t> OldestMtimeNs() const {
        if (m_ordered.empty()) return std::nullopt;
        return m_ordered.begin()->mtimeNs;
    }

    // A file in flight (its packet is queued on a link or waits for its reply) is skipped by First until the
    // mark is cleared. The mark belongs to the name and outlives Remove and Add.
    void SetInFlight(const std::string& name, bool inFlight);
    bool InFlight(const std::string& name) const;

private:
    struct Entry {
        std::int64_t mtimeNs;
        std::string name;
        bool operator<(const Entry& o) const { return mtimeNs != o.mtimeNs ? mtimeNs < o.mtimeNs : name < o.name; }
    };
    std::string BareName(const std::string& nameOrPath) const;
    void Insert(std::string name, std::int64_t mtimeNs);

    SpoolPattern m_pattern;
    std::set<Entry> m_ordered;
    std::unordered_map<std::string, std::int64_t> m_byName;
    std::unordered_set<std::string> m_inFlight;
};

// What reading a spool file found.
struct SpoolFileRead {
    enum class Status { Ok, Gone, Failed } status = Status::Failed;
    std::vector<std::uint8_t> bytes;
    int error = 0;  // errno of a failure
};
// Reads at most maxBytes from the start of the file. Gone: the file no longer exists.
SpoolFileRead ReadSpoolFile(const std::string& path, std::size_t maxBytes);
// Moves a spool file that cannot be used out of every spool pattern, to path + ".bad" (or ".bad1", ".bad2", ...
// when taken). Returns the new path; empty when it could not be moved (errno tells why).
std::string SetSpoolFileAside(const std::string& path);

// A watch on one spool directory (inotify): names that appeared in it (created and closed, or moved in) and
// names that left it (deleted, moved out). Main thread only; never blocks.
class SpoolDirectoryWatch {
public:
    struct Changes {
        struct Change {
            std::string name;
            bool appeared = false;  // else gone
        };
        std::vector<Change> changes;  // in the order they happened
        bool lost = false;            // events were missed or the watch ended: the directory must be listed again
    };

    // False when the directory cannot be watched (missing, no rights, no watches left); errno tells why.
    bool Start(const std::string& directory);
    void Stop();
    bool Active() const { return m_fd.valid() && m_wd >= 0; }
    // The descriptor that becomes readable when changes wait; -1 when not active.
    int Descriptor() const { return m_fd.get(); }
    // Reads every change waiting now. When it reports lost, the caller stops the watch.
    Changes Read();

private:
    UniqueFd m_fd;
    int m_wd = -1;
};

}  // namespace drv
