#pragma once

#include <sys/types.h>

#include <string>

#include "platform/uniquefd.h"

namespace drv {

// The lock that lets only one driver run in a working directory, whichever user starts it: an exclusive flock
// on the directory's own descriptor, held for the life of the object (the kernel drops it when the process ends,
// however it ends, so a crashed driver leaves no stale lock). Every user who can run the driver there can read
// the directory, so no file mode or umask can keep a second driver from seeing the first.
// Beside it the file "drvorvel.lock" carries the holder's process id for the operator (made readable and
// writable by the directory's group, replaced when another user's file cannot be written) and is flocked too,
// so that a driver that knows only that file still sees the holder. A refused start changes nothing.
// The file is written only when it is this user's own regular file with no other name: it is opened without
// following links, and after locking a FIFO, a directory or a second name of another file (a hard link, say to
// drvorvel.ini) refuses the start, every file left as it was. A link at the name, or another user's file, is
// replaced by a new file of this user's, never written into.
// Main thread; Acquire does not wait.
class InstanceLock {
public:
    static constexpr const char* kFileName = "drvorvel.lock";

    enum class Outcome {
        Acquired,       // this process holds the lock
        HeldByAnother,  // another driver runs in this directory; OwnerPid() names it when known
        Unavailable,    // neither the directory nor the lock file can be locked; Error() tells why. No guard: do
                        // not run.
        Unsafe,         // the lock file is no file of the driver's own; Problem() says what it is and how to mend
                        // it. Nothing was written: do not run.
    };

    explicit InstanceLock(const std::string& directory);

    Outcome Acquire();
    bool Held() const { return m_held; }
    // The holder's process id (0 when it cannot be known): from the kernel's lock table where this process may
    // read it, else the id in the lock file when that process still exists.
    pid_t OwnerPid() const { return m_ownerPid; }
    int Error() const { return m_error; }
    // After Unsafe: one line on what sits at the lock file's name and how to mend it.
    const std::string& Problem() const { return m_problem; }
    const std::string& Directory() const { return m_directory; }
    const std::string& Path() const { return m_path; }

private:
    Outcome Refused(int lockedFd);
    std::string ProblemWith(int fd) const;
    void WritePid(int fd) const;
    void ReplaceFile();

    std::string m_directory;
    std::string m_path;
    UniqueFd m_dirFd;
    UniqueFd m_fileFd;
    UniqueFd m_replacedFd;  // another user's lock file that ReplaceFile took the name from, still locked
    bool m_held = false;
    pid_t m_ownerPid = 0;
    int m_error = 0;
    std::string m_problem;
};

}  // namespace drv
