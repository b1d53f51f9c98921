#include "app/instancelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "platform/inifile.h"

namespace drv {

namespace {

pid_t ReadPid(int fd) {
    char buf[32] = {};
    const ssize_t n = RetryEintr([&] { return ::pread(fd, buf, sizeof buf - 1, 0); });
    if (n <= 0) return 0;
    long value = 0;
    const auto [end, ec] = std::from_chars(buf, buf + n, value);
    if (ec != std::errc() || value <= 0 || end == buf) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

InstanceLock::InstanceLock(const std::string& directory) : m_path(JoinPath(directory, kFileName)) {}

InstanceLock::Outcome InstanceLock::Acquire() {
    if (m_held) return Outcome::Acquired;
    // No O_TRUNC: a refused start must leave the holder's file as it is.
    UniqueFd fd(RetryEintr([&] { return ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644); }));
    if (!fd) {
        m_error = errno;
        return Outcome::Unavailable;
    }
    if (RetryEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
        m_error = errno;
        if (m_error == EWOULDBLOCK) {
            m_ownerPid = ReadPid(fd.get());
            return Outcome::HeldByAnother;
        }
        return Outcome::Unavailable;
    }
    m_held = true;
    m_ownerPid = ::getpid();
    // The id is for the operator's message only; failing to write it does not weaken the lock.
    const std::string text = std::to_string(m_ownerPid) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) {
        [[maybe_unused]] const ssize_t n = RetryEintr([&] { return ::pwrite(fd.get(), text.data(), text.size(), 0); });
    }
    m_fd = std::move(fd);
    return Outcome::Acquired;
}

}  // namespace drv
