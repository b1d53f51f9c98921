#pragma once

#include <sys/types.h>

#include <string>

#include "platform/uniquefd.h"

namespace drv {

// The lock that lets only one driver run in a working directory: an exclusive flock on the file
// "drvorvel.lock" there, held for the life of the object (the kernel drops it when the process ends, however it
// ends, so a crashed driver leaves no stale lock). The holder writes its process id into the file; a refused
// start only reads it and changes nothing. Main thread; Acquire does not wait.
class InstanceLock {
public:
    static constexpr const char* kFileName = "drvorvel.lock";

    enum class Outcome {
        Acquired,       // this process holds the lock
        HeldByAnother,  // another driver runs in this directory; OwnerPid() names it when known
        Unavailable,    // the lock file cannot be created or locked (a read-only directory, say); Error() tells why
    };

    explicit InstanceLock(const std::string& directory);

    Outcome Acquire();
    bool Held() const { return m_held; }
    // The process id that the holder wrote (0 when unknown).
    pid_t OwnerPid() const { return m_ownerPid; }
    int Error() const { return m_error; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    UniqueFd m_fd;
    bool m_held = false;
    pid_t m_ownerPid = 0;
    int m_error = 0;
};

}  // namespace drv
