#include "app/startup.h"

#include <unistd.h>

#include <QtGlobal>
#include <cstdio>
#include <cstring>

#include "app/instancelock.h"
#include "app/metricsformat.h"
#include "app/portowner.h"
#include "core/config.h"
#include "core/configcheck.h"
#include "platform/inifile.h"

namespace drvapp {

namespace {

// Qt's complaint that XDG_RUNTIME_DIR is not set (as under a system service) says nothing to the people who run
// the driver; every other message goes on as before.
QtMessageHandler g_qtMessageHandler = nullptr;
void FilterQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
    if (g_qtMessageHandler != nullptr) {
        g_qtMessageHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

// Says why this start ends: on standard error, and in a message box when a person can see one.
void TellNoStart(const std::string& line, const QString& text, const TellBox& box) {
    std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
    if (box) box(text);
}

// Says so when another program listens on the metrics port of this station's drvorvel.ini, naming it.
bool TellMetricsPortTaken(const drv::MetricsSettings& settings, const std::string& iniPath, const TellBox& box) {
    const PortListener listener = FindPortListener(settings.Address, settings.Port);
    if (!listener.found) return false;
    const std::string where = settings.Address + ":" + std::to_string(settings.Port);
    TellNoStart("the metrics port " + where + " ([metrics] Port of " + iniPath + ") is taken by " +
                    DescribeListener(listener) + "; give each station its own [metrics] Port. This start ends.",
                QStringLiteral("Порт метрик %1 занят: %2.\n\nЗапуск завершён.")
                    .arg(QString::fromStdString(where), QString::fromStdString(DescribeListener(listener))),
                box);
    return true;
}

}  // namespace

void InstallQtMessageFilter() { g_qtMessageHandler = qInstallMessageHandler(FilterQtMessage); }

std::string CurrentDirectory() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string(".");
}

bool AcquireInstanceLock(drv::InstanceLock& lock, const std::string& directory, const TellBox& box) {
    switch (lock.Acquire()) {
        case drv::InstanceLock::Outcome::Acquired:
            return true;
        case drv::InstanceLock::Outcome::HeldByAnother: {
            const std::string owner = lock.OwnerPid() > 0 ? " (process " + std::to_string(lock.OwnerPid()) + ")" : "";
            TellNoStart("a driver already runs in " + directory + owner +
                            "; it keeps the port and the spool files, this start ends.",
                        QStringLiteral("Драйвер уже запущен в папке\n%1\n\nВторой запуск завершён.")
                            .arg(QString::fromStdString(directory)),
                        box);
            return false;
        }
        case drv::InstanceLock::Outcome::Unavailable: {
            // Two drivers on one port and one spool lose events: without the guard there is no run.
            const char* reason = std::strerror(lock.Error());
            TellNoStart("cannot lock the working directory " + directory + " (" + reason +
                            "), so nothing keeps a second driver from taking the same port and spool files; this "
                            "start ends.",
                        QStringLiteral("Папку\n%1\nнельзя заблокировать (%2): второй драйвер мог бы работать в ней же."
                                       "\n\nЗапуск завершён.")
                            .arg(QString::fromStdString(directory), QString::fromLocal8Bit(reason)),
                        box);
            return false;
        }
        case drv::InstanceLock::Outcome::Unsafe:
            TellNoStart(lock.Problem() + "; this start ends, every file left as it was.",
                        QString::fromStdString(lock.Problem()), box);
            return false;
    }
    return false;
}

void WriteConfigurationLines(const std::string& directory) {
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    for (const std::string& line : drv::ConfigurationWarnings(iniPath))
        std::fprintf(stderr, "drvorvel: %s\n", line.c_str());
    std::fprintf(stderr, "drvorvel: %s\n", drv::ConfigurationLine(directory).c_str());
    std::fflush(stderr);
}

bool MetricsPortTaken(const std::string& directory, const TellBox& box) {
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    const drv::MetricsSettings settings = drv::LoadMetricsSettings(iniPath);
    return settings.On() && TellMetricsPortTaken(settings, iniPath, box);
}

std::unique_ptr<MetricsServer> StartMetricsEndpoint(const std::string& directory, MetricsServer::StatusSource status,
                                                    const TellBox& box, bool* portTaken) {
    *portTaken = false;
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    const drv::MetricsSettings settings = drv::LoadMetricsSettings(iniPath);
    if (!settings.On()) return nullptr;
    auto metrics = std::make_unique<MetricsServer>(std::move(status));
    if (!metrics->Listen(settings)) {
        // Taken since the check before the start: the same end.
        if (TellMetricsPortTaken(settings, iniPath, box)) {
            *portTaken = true;
            return nullptr;
        }
        std::fprintf(stderr,
                     "drvorvel: the metrics endpoint cannot listen on %s:%d (%s); the driver runs on without it\n",
                     settings.Address.c_str(), settings.Port, metrics->Error().c_str());
        return nullptr;
    }
    return metrics;
}

std::unique_ptr<StatusSocket> StartStatusSocket(const std::string& directory, std::function<QByteArray()> answer) {
    auto socket = std::make_unique<StatusSocket>(directory, std::move(answer));
    if (!socket->Listen())
        std::fprintf(stderr, "drvorvel: the status socket %s/%s cannot be made (%s); drvorvel --status cannot ask\n",
                     directory.c_str(), StatusSocket::kFileName, socket->Error().c_str());
    return socket;
}

bool StartEndpoints(const std::string& directory, const MetricsServer::StatusSource& status, const TellBox& box,
                    Endpoints& endpoints) {
    bool portTaken = false;
    endpoints.metrics = StartMetricsEndpoint(directory, status, box, &portTaken);
    if (portTaken) return false;
    endpoints.statusSocket = StartStatusSocket(directory, [status] { return StatusJson(status(true)); });
    return true;
}

}  // namespace drvapp
