#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/metrics.h"

class QHttpServer;

// The metrics and status endpoint: GET /metrics (Prometheus text) and GET /status (JSON). It lives on the main
// thread and answers from there: each answer takes one status from `status` (a few microseconds; nothing waits
// for the link thread). Other paths give 404, other methods on these two paths 405.
class MetricsServer : public QObject {
    Q_OBJECT

public:
    // The status of the moment; with the configuration in effect when asked (for /status).
    using StatusSource = std::function<drv::DriverStatus(bool withConfiguration)>;

    MetricsServer(StatusSource status, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Starts listening. False, with the reason in Error(), when the address does not parse or cannot be bound;
    // the driver then runs on without the endpoint.
    bool Listen(const drv::MetricsSettings& settings);
    const std::string& Error() const { return m_error; }
    // The port it listens on (useful after port 0 in tests); 0 when not listening.
    quint16 Port() const { return m_port; }

private:
    StatusSource m_status;
    std::unique_ptr<QHttpServer> m_server;
    std::string m_error;
    quint16 m_port = 0;
};
