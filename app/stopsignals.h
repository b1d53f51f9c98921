#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an orderly end of the run on the main thread: the stop action runs
// (it dismisses open dialogs and ends every event loop, nested ones included), the windows are destroyed, the
// serial port is closed and the Z8 link spools what it still holds. The signal is noticed by whichever event loop
// runs, a modal window's included. A second signal while that runs ends the process at once.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

    // What a stop does, on the main thread; without one, every event loop ends.
    void SetStopAction(std::function<void()> action) { m_action = std::move(action); }
    // Whether a stop signal has been handled.
    bool Requested() const { return m_requested; }

private:
    void OnSignal();

    std::function<void()> m_action;
    bool m_requested = false;
    QSocketNotifier* m_notifier = nullptr;
};
