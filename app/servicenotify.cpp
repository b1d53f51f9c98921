#include "app/servicenotify.h"

#include <systemd/sd-daemon.h>

#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <cstring>

ServiceNotify::ServiceNotify(QObject* parent) : QObject(parent) {
    std::uint64_t usec = 0;
    // 0 in unset_environment: the variables stay for the whole run; nothing else reads them.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const std::uint64_t ms = usec / 2000;
        m_intervalMs = static_cast<int>(ms < 1 ? 1 : (ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
    }
}

void ServiceNotify::Ready() {
    const int r = sd_notify(0, "READY=1");
    if (r < 0) std::fprintf(stderr, "drvorvel: cannot tell the service manager it is ready: %s\n", std::strerror(-r));
    if (m_intervalMs <= 0 || m_timer != nullptr) return;
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::CoarseTimer);
    connect(m_timer, &QTimer::timeout, this, &ServiceNotify::KeepAlive);
    m_timer->start(m_intervalMs);
    KeepAlive();
}

void ServiceNotify::Stopping() {
    if (m_timer != nullptr) m_timer->stop();
    sd_notify(0, "STOPPING=1");
}

void ServiceNotify::KeepAlive() { sd_notify(0, "WATCHDOG=1"); }
