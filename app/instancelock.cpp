#include "app/instancelock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>

#include "platform/inifile.h"

namespace drv {

namespace {

constexpr mode_t kLockFileMode = 0664;  // the directory's group shares the driver's files

bool LockNow(int fd) {
    return RetryEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0;
}

// The process id a holder wrote into the lock file, 0 when there is none or that process is gone.
pid_t PidFromFile(const std::string& path) {
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd) return 0;
    char buf[32] = {};
    const ssize_t n = RetryEintr([&] { return ::pread(fd.get(), buf, sizeof buf - 1, 0); });
    if (n <= 0) return 0;
    long value = 0;
    const auto [end, ec] = std::from_chars(buf, buf + n, value);
    if (ec != std::errc() || value <= 0 || end == buf) return 0;
    const auto pid = static_cast<pid_t>(value);
    // EPERM: the process exists but belongs to another user.
    return (::kill(pid, 0) == 0 || errno == EPERM) ? pid : 0;
}

// The process that holds a flock on the file of fd, from the kernel's lock table; 0 when the table cannot be
// read (a confined service may not see it) or names no holder.
pid_t PidFromLockTable(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    std::FILE* table = std::fopen("/proc/locks", "re");
    if (table == nullptr) return 0;
    pid_t found = 0;
    char line[256];
    while (found == 0 && std::fgets(line, sizeof line, table) != nullptr) {
        int pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 00:2d:5678 0 EOF"; a waiter's line ("1: -> FLOCK ...") does not match.
        if (std::sscanf(line, "%*d: FLOCK %*s WRITE %d %x:%x:%llu", &pid, &major, &minor, &inode) == 4 &&
            major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino && pid > 0) {
            found = pid;
        }
    }
    std::fclose(table);
    return found;
}

}  // namespace

InstanceLock::InstanceLock(const std::string& directory)
    : m_directory(directory), m_path(JoinPath(directory, kFileName)) {}

InstanceLock::Outcome InstanceLock::Acquire() {
    if (m_held) return Outcome::Acquired;
    UniqueFd dir(RetryEintr([&] { return ::open(m_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    int dirError = dir ? 0 : errno;
    if (dir && !LockNow(dir.get())) {
        dirError = errno;
        if (dirError == EWOULDBLOCK) return Refused(dir.get());
        dir.reset();  // a file system that locks no directories (NFS): the file's lock alone has to do
    }
    // A driver that locks only the file may hold it: it counts as a holder as well. A file that cannot be opened
    // at all (mode 0600 of another user) does not weaken the lock on the directory.
    UniqueFd file(RetryEintr([&] {
        return ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, kLockFileMode);
    }));
    const bool writable = static_cast<bool>(file);
    if (!file) {
        file.reset(RetryEintr([&] { return ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    }
    const bool fileLocked = file && LockNow(file.get());
    if (file && !fileLocked && errno == EWOULDBLOCK) return Refused(file.get());
    if (!dir && !fileLocked) {
        m_error = dirError;
        return Outcome::Unavailable;
    }
    // Checked on what was opened and locked, so that nothing can swap the name between check and write.
    if (file) {
        m_problem = ProblemWith(file.get());
        if (!m_problem.empty()) {
            m_error = EEXIST;
            return Outcome::Unsafe;
        }
    }
    struct stat st {};
    const bool own = file && ::fstat(file.get(), &st) == 0 && st.st_uid == ::geteuid();
    m_held = true;
    m_ownerPid = ::getpid();
    m_dirFd = std::move(dir);
    m_fileFd = std::move(file);
    if (writable && own) {
        // The mode this process's umask left (or another of its starts) is repaired, so the group can lock it too.
        struct stat st {};
        if (::fstat(m_fileFd.get(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != kLockFileMode) {
            [[maybe_unused]] const int r = ::fchmod(m_fileFd.get(), kLockFileMode);
        }
        WritePid(m_fileFd.get());
    } else if (m_dirFd) {
        ReplaceFile();  // a link at the name, or another user's file
    }
    return Outcome::Acquired;
}

std::string InstanceLock::ProblemWith(int fd) const {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    const std::string remove = std::string("remove it (") + (S_ISDIR(st.st_mode) ? "rm -r '" : "rm '") + m_path +
                               "') and start the driver again";
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISREG(st.st_mode)  ? nullptr
                                              : "no regular file";
    if (kind != nullptr) return "the lock file " + m_path + " is " + kind + ", not a regular file: " + remove;
    if (st.st_nlink != 1) {
        return "the lock file " + m_path + " is one of " + std::to_string(st.st_nlink) +
               " names of one file (a hard link, perhaps to drvorvel.ini or another file of the driver's), which "
               "writing the process id would destroy: remove that name alone (rm '" +
               m_path + "'; the file keeps its other names and content) and start the driver again";
    }
    return {};
}

InstanceLock::Outcome InstanceLock::Refused(int lockedFd) {
    m_error = EWOULDBLOCK;
    m_ownerPid = PidFromLockTable(lockedFd);
    if (m_ownerPid == 0) m_ownerPid = PidFromFile(m_path);
    return Outcome::HeldByAnother;
}

void InstanceLock::WritePid(int fd) const {
    // The id is for the operator's message only; failing to write it does not weaken the lock.
    const std::string text = std::to_string(m_ownerPid) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = RetryEintr([&] { return ::pwrite(fd, text.data(), text.size(), 0); });
    }
}

void InstanceLock::ReplaceFile() {
    // Another user's file that this one may not write: a new one, locked before it takes the name, so that there
    // is no moment at which the name stands for an unlocked file. The old one stays locked too.
    const std::string temporary = m_path + "." + std::to_string(m_ownerPid) + ".new";
    UniqueFd fd(RetryEintr([&] {
        return ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, kLockFileMode);
    }));
    if (!fd) return;
    [[maybe_unused]] const int r = ::fchmod(fd.get(), kLockFileMode);
    if (!LockNow(fd.get())) {
        ::unlink(temporary.c_str());
        return;
    }
    WritePid(fd.get());
    if (::rename(temporary.c_str(), m_path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    m_replacedFd = std::move(m_fileFd);
    m_fileFd = std::move(fd);
}

}  // namespace drv
