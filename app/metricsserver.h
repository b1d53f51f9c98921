#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

#include "app/httpresponder.h"
#include "core/config.h"
#include "core/metrics.h"

// The metrics and status endpoint: GET /metrics (Prometheus text) and GET /status (JSON), answered by the
// driver's own small responder (HttpResponder: bounded connections, deadlines, no bodies). It lives on the main
// thread and answers from there: each answer takes one status from `status` (a few microseconds; nothing waits
// for the link thread). Other paths give 404, other methods on these two paths 405.
class MetricsServer : public QObject {
    Q_OBJECT

public:
    // The status of the moment; with the configuration in effect when asked (for /status).
    using StatusSource = std::function<drv::DriverStatus(bool withConfiguration)>;

    MetricsServer(StatusSource status, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Starts listening. False, with the reason in Error() and its errno in ErrorNumber(), when the address does not
    // parse (EINVAL) or cannot be bound; the driver then runs on without the endpoint.
    bool Listen(const drv::MetricsSettings& settings);
    const std::string& Error() const { return m_error; }
    int ErrorNumber() const { return m_errno; }
    // The port it listens on (useful after port 0 in tests); 0 when not listening.
    std::uint16_t Port() const { return m_responder.Port(); }

private:
    StatusSource m_status;
    HttpResponder m_responder;
    std::string m_error;
    int m_errno = 0;
};
