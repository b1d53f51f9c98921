#include "app/metricsserver.h"

#include <cerrno>
#include <cstring>

#include "app/metricsformat.h"

MetricsServer::MetricsServer(StatusSource status, QObject* parent) : QObject(parent), m_status(std::move(status)) {
    m_responder.Handle("/metrics", [this] {
        return HttpResponder::Answer{"text/plain; version=0.0.4; charset=utf-8", PrometheusText(m_status(false))};
    });
    m_responder.Handle("/status", [this] {
        return HttpResponder::Answer{"application/json", StatusJson(m_status(true))};
    });
}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::Listen(const drv::MetricsSettings& settings) {
    if (settings.Port < 0 || settings.Port > 65535) {
        m_errno = EINVAL;
        m_error = std::to_string(settings.Port) + " is no TCP port";
        return false;
    }
    m_errno = m_responder.Listen(settings.Address, static_cast<std::uint16_t>(settings.Port));
    if (m_errno == EINVAL) {
        m_error = "\"" + settings.Address + "\" is no IP address";
    } else if (m_errno != 0) {
        m_error = std::strerror(m_errno);
    }
    return m_errno == 0;
}
