#include "app/metricsserver.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>

#include "app/metricsformat.h"

namespace {

using Status = QHttpServerResponse::StatusCode;

QHttpServerResponse MethodNotAllowed() {
    QHttpServerResponse r("text/plain; charset=utf-8", "only GET is answered here\n", Status::MethodNotAllowed);
    r.setHeader("Allow", "GET");
    return r;
}

bool IsGet(const QHttpServerRequest& request) { return request.method() == QHttpServerRequest::Method::Get; }

}  // namespace

MetricsServer::MetricsServer(StatusSource status, QObject* parent)
    : QObject(parent), m_status(std::move(status)), m_server(std::make_unique<QHttpServer>()) {
    m_server->route("/metrics", [this](const QHttpServerRequest& request) {
        if (!IsGet(request)) return MethodNotAllowed();
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", PrometheusText(m_status(false)));
    });
    m_server->route("/status", [this](const QHttpServerRequest& request) {
        if (!IsGet(request)) return MethodNotAllowed();
        return QHttpServerResponse("application/json", StatusJson(m_status(true)));
    });
    m_server->setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        responder.write("not found: the driver answers GET /metrics and GET /status\n", "text/plain; charset=utf-8",
                        QHttpServerResponder::StatusCode::NotFound);
    });
}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::Listen(const drv::MetricsSettings& settings) {
    QHostAddress address;
    const QString text = QString::fromStdString(settings.Address);
    if (text.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(text)) {
        m_error = "\"" + settings.Address + "\" is no IP address";
        return false;
    }
    auto* tcp = new QTcpServer(this);
    if (!tcp->listen(address, static_cast<quint16>(settings.Port))) {
        m_error = tcp->errorString().toStdString();
        delete tcp;
        return false;
    }
    m_server->bind(tcp);
    m_port = tcp->serverPort();
    return true;
}
