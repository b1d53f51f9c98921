#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace drvtest {

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChildProcess::ChildProcess(const Options& o) {
    std::vector<char*> argv;
    for (const auto& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
        for (const auto& e : o.env) ::putenv(const_cast<char*>(e.c_str()));
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = o.stderrPath == o.stdoutPath ? ::dup(out)
                                                     : ::open(o.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in >= 0) ::dup2(in, 0);
        if (out >= 0) ::dup2(out, 1);
        if (err >= 0) ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(125);
    }
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_status) Stop(std::chrono::seconds(5));
}

bool ChildProcess::Running() {
    if (m_status) return false;
    int st = 0;
    const pid_t r = ::waitpid(m_pid, &st, WNOHANG);
    if (r == m_pid) {
        m_status = st;
        return false;
    }
    return true;
}

void ChildProcess::Signal(int sig) {
    if (Running()) ::kill(m_pid, sig);
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds deadline) {
    WaitUntil([this] { return !Running(); }, deadline);
    return m_status;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    Signal(SIGTERM);
    if (!WaitExit(grace)) {
        Signal(SIGKILL);
        WaitExit(std::chrono::seconds(30));
    }
    return m_status.value_or(-1);
}

}  // namespace drvtest
