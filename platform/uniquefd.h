#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace drv {

// Owns one file descriptor and closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(m_fd, -1); }
    // Closes the current descriptor (errors ignored: the descriptor is gone either way) and takes fd.
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// Runs a system call again while it fails with EINTR.
template <typename F>
auto RetryEintr(F&& call) {
    for (;;) {
        auto r = call();
        if (!(r == -1 && errno == EINTR)) return r;
    }
}

}  // namespace drv
