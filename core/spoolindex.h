#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
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
// Entries are taken in by name and type only: whether a file can be used is for its reader to find out.
class SpoolIndex {
public:
    // The pause before a file is tried again after its n-th failure: kFirstPauseMs doubled n-1 times, at most
    // kLongestPauseMs.
    static constexpr std::int64_t kFirstPauseMs = 3000;
    static constexpr std::int64_t kLongestPauseMs = 300000;

    explicit SpoolIndex(SpoolPattern pattern);

    const SpoolPattern& Pattern() const { return m_pattern; }

    // Replaces the content with one listing of the directory. False (and the content kept) when the directory
    // cannot be listed. Marks and pauses of the files still there are kept.
    bool Rescan();
    // Takes in the entry of that name (a bare name or a full path) when it matches the pattern and exists;
    // an entry already known keeps its place.
    void Add(const std::string& name);
    // Forgets the entry (a bare name or a full path) with its marks and pauses; nothing when it is unknown.
    void Remove(const std::string& name);

    // The oldest pending file that is neither in flight nor paused at nowMs (a monotonic time); nullopt when
    // there is none. Without a time, pauses are not looked at.
    std::optional<std::string> First(std::int64_t nowMs = INT64_MAX) const;
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

    // The file failed once more (not acknowledged, or a passing read fault): First skips it for a pause that grows
    // with its count of failures, so that the other files go meanwhile; once due, it takes its place by age among
    // the due files again. Returns the pause in milliseconds.
    std::int64_t Defer(const std::string& name, std::int64_t nowMs);
    int Failures(const std::string& name) const;

    // An entry that must never be handed over (another file type that cannot be moved away): dropped, and not taken
    // in again until it has gone from the directory.
    void Ignore(const std::string& name);
    // A file whose content has been delivered but which could not be deleted: dropped from the pending files and
    // never taken in again while it exists; the caller deletes it (Delivered lists them) and then calls Remove.
    void MarkDelivered(const std::string& name);
    const std::unordered_set<std::string>& Delivered() const { return m_delivered; }

private:
    struct Entry {
        std::int64_t mtimeNs;
        std::string name;
        bool operator<(const Entry& o) const { return mtimeNs != o.mtimeNs ? mtimeNs < o.mtimeNs : name < o.name; }
    };
    struct Retry {
        int failures = 0;
        std::int64_t dueMs = 0;
    };
    std::string BareName(const std::string& nameOrPath) const;
    void Insert(std::string name, std::int64_t mtimeNs);
    void Drop(const std::string& name);

    SpoolPattern m_pattern;
    std::set<Entry> m_ordered;
    std::unordered_map<std::string, std::int64_t> m_byName;
    std::unordered_set<std::string> m_inFlight;
    std::unordered_map<std::string, Retry> m_retry;
    std::unordered_set<std::string> m_ignored;
    std::unordered_set<std::string> m_delivered;
};

// Lets a repeated report through at most once per interval (on a monotonic clock) and counts what it held back.
struct ReportLimiter {
    // nullopt when a report is held back now; else how many were held back since the last one let through.
    std::optional<int> Allow(std::int64_t nowMs, std::int64_t intervalMs = 60000) {
        if (m_lastMs != INT64_MIN && nowMs - m_lastMs < intervalMs) {
            ++m_heldBack;
            return std::nullopt;
        }
        m_lastMs = nowMs;
        return std::exchange(m_heldBack, 0);
    }

private:
    std::int64_t m_lastMs = INT64_MIN;
    int m_heldBack = 0;
};

// What the driver tells the operator about its view of the spool directory, so that a degraded view is said once
// rather than never or at every file: whether the directory can be watched (else it is listed every interval),
// that it vanished and was made again, and the spool files set aside, gathered into one line with a count and the
// first few names. Pure bookkeeping: it returns the lines, the caller writes them. Main thread only.
class SpoolViewReport {
public:
    static constexpr std::size_t kNamesShown = 3;

    // After an attempt to watch the directory (watchError 0: watched, else the errno) and to list it
    // (listError 0: listed): the lines to tell, each only when the state differs from the last one told.
    std::vector<std::string> Listed(const std::string& directory, int watchError, int listError,
                                    std::int64_t intervalMs);
    // Whether the directory was listed at least once: one that is missing now has vanished while the driver ran.
    bool SeenBefore() const { return m_listedOnce; }
    // The directory vanished and was made again (error 0), or could not be (its errno).
    std::string Recreated(const std::string& directory, int error) const;

    // A file set aside (moved to `to`) or, with `to` empty, left where it is and ignored.
    void SetAside(const std::string& path, const std::string& to, const std::string& why);
    // The line about the files set aside since the last one, when there are any and it is time: at once for the
    // first after a quiet interval, then at most once per interval (a monotonic time); nullopt otherwise.
    std::optional<std::string> SetAsideLine(std::int64_t nowMs, std::int64_t intervalMs = 60000);

private:
    struct Group {
        std::size_t count = 0;
        std::vector<std::string> first;  // "path (why)", at most kNamesShown
    };
    static std::string Describe(const Group& g, const char* what);

    bool m_listedOnce = false;
    int m_toldWatchError = 0;
    int m_toldListError = 0;
    Group m_moved;
    Group m_left;
    std::int64_t m_lastLineMs = INT64_MIN;
};

// Makes the spool directory again (a directory the driver listed before, deleted while it runs), with the mode
// of a new directory under this process's umask. 0 or the errno.
int RecreateSpoolDirectory(const std::string& directory);

// Moves a spool file that cannot be used out of every spool pattern, to path + ".bad" (or ".bad1", ".bad2", ...
// when taken). Returns the new path; empty when it could not be moved (errno tells why). Renames the entry itself,
// whatever its type (a symbolic link is moved, not what it points to).
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
    // A regular file is reported once it has been written and closed, or moved in; an entry of another type (a
    // FIFO, a directory, a link) as soon as it is created.
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
    std::string m_directory;
};

}  // namespace drv
