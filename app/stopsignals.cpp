#include "app/stopsignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

namespace {

int g_pipe[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnStopSignal(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (::write(g_pipe[1], &b, 1) < 0) {
        // Nothing more can be done inside a signal handler.
    }
    signal(sig, SIG_DFL);  // a second signal of the same kind ends the process at once
    errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        std::perror("drvorvel: no orderly stop on signals");
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnSignal(); });
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

StopSignals::~StopSignals() {
    for (int sig : kSignals) signal(sig, SIG_DFL);
    delete m_notifier;
    for (int& fd : g_pipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void StopSignals::OnSignal() {
    unsigned char b = 0;
    while (::read(g_pipe[0], &b, 1) == 1) {
        std::fprintf(stderr, "drvorvel: stopping on signal %d\n", static_cast<int>(b));
    }
    m_requested = true;
    if (m_action) {
        m_action();
    } else {
        QCoreApplication::exit(0);
    }
}
