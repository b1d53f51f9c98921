#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace drvtest {

// Polls cond every few milliseconds until it holds or the deadline passes; true when it held.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::seconds(20));

// A program started by a test. Its output goes to files; it dies with the test process (PR_SET_PDEATHSIG) and is
// stopped when the object goes out of scope, so nothing is left running.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        std::string cwd;                     // empty: the test's own
        std::vector<std::string> env;        // extra "NAME=value" entries
        std::string stdoutPath = "/dev/null";
        std::string stderrPath = "/dev/null";  // the same path as stdoutPath: one file for both
    };

    explicit ChildProcess(const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    bool Running();
    void Signal(int sig);
    // Waits for the exit; the wait status (as from waitpid) or nullopt when it did not end in time.
    std::optional<int> WaitExit(std::chrono::milliseconds deadline);
    // SIGTERM, then SIGKILL when it has not ended within grace; returns the wait status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

}  // namespace drvtest
