#include "core/spoolindex.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace drv {
namespace {

std::int64_t MtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

SpoolPattern::SpoolPattern(const std::string& prefix, std::string suffixIn) : suffix(std::move(suffixIn)) {
    const auto slash = prefix.rfind('/');
    if (slash == std::string::npos) {
        directory = ".";
        namePrefix = prefix;
    } else {
        directory = slash == 0 ? "/" : prefix.substr(0, slash);
        namePrefix = prefix.substr(slash + 1);
    }
}

bool SpoolPattern::Matches(const std::string& name) const {
    return name.size() >= namePrefix.size() + suffix.size() && name.compare(0, namePrefix.size(), namePrefix) == 0 &&
           EndsWith(name, suffix) && name.find('/') == std::string::npos;
}

std::string SpoolPattern::PathOf(const std::string& name) const {
    return (directory == "/" ? "" : directory) + "/" + name;
}

SpoolIndex::SpoolIndex(SpoolPattern pattern) : m_pattern(std::move(pattern)) {}

std::string SpoolIndex::BareName(const std::string& nameOrPath) const {
    const auto slash = nameOrPath.rfind('/');
    return slash == std::string::npos ? nameOrPath : nameOrPath.substr(slash + 1);
}

void SpoolIndex::Insert(std::string name, std::int64_t mtimeNs) {
    if (m_byName.count(name) != 0 || m_ignored.count(name) != 0 || m_delivered.count(name) != 0) return;
    m_byName.emplace(name, mtimeNs);
    m_ordered.insert(Entry{mtimeNs, std::move(name)});
}

void SpoolIndex::Drop(const std::string& name) {
    const auto it = m_byName.find(name);
    if (it == m_byName.end()) return;
    m_ordered.erase(Entry{it->second, name});
    m_byName.erase(it);
}

bool SpoolIndex::Rescan() {
    DIR* dir = ::opendir(m_pattern.directory.c_str());
    if (dir == nullptr) return false;
    const int dfd = ::dirfd(dir);
    std::unordered_map<std::string, std::int64_t> found;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (!m_pattern.Matches(name)) continue;
        struct stat st {};
        if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone since the listing
        found.emplace(name, MtimeNs(st));
    }
    ::closedir(dir);
    // Marks of entries that have gone end with them.
    const auto prune = [&](auto& set) {
        for (auto it = set.begin(); it != set.end();) it = found.count(*it) != 0 ? std::next(it) : set.erase(it);
    };
    prune(m_ignored);
    prune(m_delivered);
    for (auto it = m_retry.begin(); it != m_retry.end();)
        it = found.count(it->first) != 0 ? std::next(it) : m_retry.erase(it);
    m_ordered.clear();
    m_byName.clear();
    for (auto& [name, mtime] : found) Insert(name, mtime);
    return true;
}

void SpoolIndex::Add(const std::string& nameOrPath) {
    std::string name = BareName(nameOrPath);
    if (!m_pattern.Matches(name) || m_byName.count(name) != 0) return;
    struct stat st {};
    if (::lstat(m_pattern.PathOf(name).c_str(), &st) != 0) return;
    Insert(std::move(name), MtimeNs(st));
}

void SpoolIndex::Remove(const std::string& nameOrPath) {
    const std::string name = BareName(nameOrPath);
    Drop(name);
    m_retry.erase(name);
    m_ignored.erase(name);
    m_delivered.erase(name);
}

std::optional<std::string> SpoolIndex::First(std::int64_t nowMs) const {
    for (const auto& e : m_ordered) {
        if (!m_inFlight.empty() && m_inFlight.count(e.name) != 0) continue;
        if (!m_retry.empty()) {
            const auto r = m_retry.find(e.name);
            if (r != m_retry.end() && r->second.dueMs >= nowMs) continue;  // due once the pause is over
        }
        return e.name;
    }
    return std::nullopt;
}

void SpoolIndex::SetInFlight(const std::string& nameOrPath, bool inFlight) {
    if (inFlight) {
        m_inFlight.insert(BareName(nameOrPath));
    } else {
        m_inFlight.erase(BareName(nameOrPath));
    }
}

bool SpoolIndex::InFlight(const std::string& nameOrPath) const { return m_inFlight.count(BareName(nameOrPath)) != 0; }

std::int64_t SpoolIndex::Defer(const std::string& nameOrPath, std::int64_t nowMs) {
    Retry& r = m_retry[BareName(nameOrPath)];
    ++r.failures;
    std::int64_t pause = kFirstPauseMs;
    for (int i = 1; i < r.failures && pause < kLongestPauseMs; ++i) pause *= 2;
    pause = std::min(pause, kLongestPauseMs);
    r.dueMs = nowMs + pause;
    return pause;
}

int SpoolIndex::Failures(const std::string& nameOrPath) const {
    const auto it = m_retry.find(BareName(nameOrPath));
    return it == m_retry.end() ? 0 : it->second.failures;
}

void SpoolIndex::Ignore(const std::string& nameOrPath) {
    const std::string name = BareName(nameOrPath);
    Drop(name);
    m_retry.erase(name);
    m_ignored.insert(name);
}

void SpoolIndex::MarkDelivered(const std::string& nameOrPath) {
    const std::string name = BareName(nameOrPath);
    Drop(name);
    m_retry.erase(name);
    m_inFlight.erase(name);
    m_delivered.insert(name);
}

std::string SetSpoolFileAside(const std::string& path) {
    for (int i = 0; i < 100; ++i) {
        const std::string to = path + ".bad" + (i == 0 ? std::string() : std::to_string(i));
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return to;
        if (errno == EINVAL || errno == ENOSYS) {
            // No rename without replacing on this file system: a hard link fails on a taken name just the same.
            if (::link(path.c_str(), to.c_str()) == 0) {
                ::unlink(path.c_str());
                return to;
            }
        }
        if (errno != EEXIST) return {};
    }
    errno = EEXIST;
    return {};
}

bool SpoolDirectoryWatch::Start(const std::string& directory) {
    Stop();
    m_directory = directory;
    m_fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_fd) return false;
    m_wd = ::inotify_add_watch(m_fd.get(), directory.c_str(),
                               IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR);
    if (m_wd < 0) {
        const int err = errno;
        m_fd.reset();
        errno = err;
        return false;
    }
    return true;
}

void SpoolDirectoryWatch::Stop() {
    m_fd.reset();
    m_wd = -1;
}

SpoolDirectoryWatch::Changes SpoolDirectoryWatch::Read() {
    Changes changes;
    if (!Active()) return changes;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = RetryEintr([&] { return ::read(m_fd.get(), buf, sizeof buf); });
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN) changes.lost = true;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if ((ev->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
                changes.lost = true;
                continue;
            }
            if (ev->len == 0) continue;
            const std::string name(ev->name);
            if ((ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) changes.changes.push_back({name, true});
            // A regular file being created is reported once written; anything else may never be closed after
            // writing (a FIFO, a directory, a link) and is reported now, for its reader to set it aside.
            if ((ev->mask & IN_CREATE) != 0) {
                struct stat st {};
                const std::string path = (m_directory == "/" ? "" : m_directory) + "/" + name;
                if ((ev->mask & IN_ISDIR) != 0 || (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
                    changes.changes.push_back({name, true});
            }
            if ((ev->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) changes.changes.push_back({name, false});
        }
    }
    return changes;
}

std::vector<std::string> SpoolViewReport::Listed(const std::string& directory, int watchError, int listError,
                                                 std::int64_t intervalMs) {
    std::vector<std::string> lines;
    if (listError == 0) m_listedOnce = true;
    if (watchError != m_toldWatchError) {
        if (watchError != 0) {
            lines.push_back("the spool directory " + directory + " cannot be watched for new files (" +
                            std::strerror(watchError) + "); it is listed every " + std::to_string(intervalMs / 1000) +
                            " s instead, so a file put there may wait that long");
        } else {
            lines.push_back("the spool directory " + directory + " is watched again: new files are seen at once");
        }
        m_toldWatchError = watchError;
    }
    if (listError != m_toldListError) {
        if (listError != 0) {
            lines.push_back("the spool directory " + directory + " cannot be listed (" + std::strerror(listError) +
                            "); its files wait until it can");
        } else {
            lines.push_back("the spool directory " + directory + " can be listed again");
        }
        m_toldListError = listError;
    }
    return lines;
}

std::string SpoolViewReport::Recreated(const std::string& directory, int error) const {
    if (error == 0) return "the spool directory " + directory + " vanished while the driver ran; it was made again";
    return "the spool directory " + directory + " vanished while the driver ran and cannot be made again (" +
           std::strerror(error) + "); events wait in memory or in the Z8 link until it can";
}

void SpoolViewReport::SetAside(const std::string& path, const std::string& to, const std::string& why) {
    Group& g = to.empty() ? m_left : m_moved;
    ++g.count;
    if (g.first.size() < kNamesShown)
        g.first.push_back("\"" + path + "\" " + why + (to.empty() ? "" : " (now \"" + to + "\")"));
}

std::string SpoolViewReport::Describe(const Group& g, const char* what) {
    std::string line = std::to_string(g.count) + (g.count == 1 ? " spool file " : " spool files ") + what + ": ";
    for (std::size_t i = 0; i < g.first.size(); ++i) line += (i == 0 ? "" : "; ") + g.first[i];
    if (g.count > g.first.size()) line += "; and " + std::to_string(g.count - g.first.size()) + " more";
    return line;
}

std::optional<std::string> SpoolViewReport::SetAsideLine(std::int64_t nowMs, std::int64_t intervalMs) {
    if (m_moved.count == 0 && m_left.count == 0) return std::nullopt;
    if (m_lastLineMs != INT64_MIN && nowMs - m_lastLineMs < intervalMs) return std::nullopt;
    m_lastLineMs = nowMs;
    std::string line;
    if (m_moved.count > 0) line = Describe(m_moved, "set aside as unusable");
    if (m_left.count > 0) {
        line += (line.empty() ? "" : "; ") + Describe(m_left, "unusable and not movable, left and ignored");
    }
    m_moved = {};
    m_left = {};
    return line;
}

int RecreateSpoolDirectory(const std::string& directory) {
    return ::mkdir(directory.c_str(), 0777) == 0 || errno == EEXIST ? 0 : errno;
}

}  // namespace drv
