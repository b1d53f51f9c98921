#pragma once

#include <QObject>

class QTimer;

// Tells the service manager how the driver is doing, when one started it (NOTIFY_SOCKET set): "ready" once
// startup is done, and a watchdog keep-alive from the main thread's event loop at half the interval the manager
// asked for, so that a main thread that hangs stops the keep-alives and the manager restarts the driver.
// Without a service manager every call does nothing. Main thread only.
class ServiceNotify : public QObject {
    Q_OBJECT

public:
    explicit ServiceNotify(QObject* parent = nullptr);

    // Startup is done: sends READY=1 and starts the keep-alives when a watchdog interval was given.
    void Ready();
    // Sends STOPPING=1.
    void Stopping();

    // The keep-alive interval in milliseconds, 0 when there is no watchdog.
    int KeepAliveIntervalMs() const { return m_intervalMs; }

private:
    void KeepAlive();

    QTimer* m_timer = nullptr;
    int m_intervalMs = 0;
};
