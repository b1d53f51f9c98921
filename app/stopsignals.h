#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an orderly end of the run on the main thread: the message loop ends
// (nested loops of open dialogs too), the windows are destroyed, the serial port is closed and the Z8 link
// spools what it still holds. A second signal while that runs ends the process at once, as without this guard.
class StopSignals : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;

private:
    void OnSignal();

    QSocketNotifier* m_notifier = nullptr;
};
