#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "app/metricsserver.h"
#include "app/statussocket.h"

namespace drv {
class InstanceLock;
}

// What a run of the driver does around the driver object, with a window or without: Qt's messages, the lock of the
// working directory, the configuration lines, the metrics endpoint. Main thread.
namespace drvapp {

// Another driver runs in the working directory, or none could be kept from it.
inline constexpr int kExitAlreadyRunning = 3;
// A metrics port that another program holds, or a display that is not there.
inline constexpr int kExitCannotStart = 2;

// Filters Qt's messages from now on (see startup.cpp).
void InstallQtMessageFilter();

std::string CurrentDirectory();

// Tells a person who can see it why this start ends (a message box); empty without a display.
using TellBox = std::function<void(const QString& text)>;

// Takes the lock of directory before anything touches the port or the spool files. False when this start ends:
// the reason has been written to standard error and shown through box.
bool AcquireInstanceLock(drv::InstanceLock& lock, const std::string& directory, const TellBox& box);

// Writes the configuration's warnings and its one-line summary to standard error.
void WriteConfigurationLines(const std::string& directory);

// Whether another program listens on the metrics port of drvorvel.ini in directory (when the metrics are on). True
// when this start ends: the program is named on standard error and through box.
bool MetricsPortTaken(const std::string& directory, const TellBox& box);

// The metrics endpoint of drvorvel.ini in directory, listening; empty when it is off or cannot listen (said on
// standard error: the driver runs on without it). *portTaken: the port was taken by another program since
// MetricsPortTaken looked (said as it says it): this start ends.
std::unique_ptr<MetricsServer> StartMetricsEndpoint(const std::string& directory, MetricsServer::StatusSource status,
                                                    const TellBox& box, bool* portTaken);

// The status socket of directory, which `drvorvel --status` asks; when it cannot be made, that is said on standard
// error and the driver runs on without it.
std::unique_ptr<StatusSocket> StartStatusSocket(const std::string& directory, std::function<QByteArray()> answer);

// What answers for the driver while it runs: the metrics endpoint (when it is on) and the status socket.
struct Endpoints {
    std::unique_ptr<MetricsServer> metrics;
    std::unique_ptr<StatusSocket> statusSocket;
};
// Starts both, answering from status. False when this start ends: the metrics port was taken by another program
// since MetricsPortTaken looked (said as StartMetricsEndpoint says it).
bool StartEndpoints(const std::string& directory, const MetricsServer::StatusSource& status, const TellBox& box,
                    Endpoints& endpoints);

}  // namespace drvapp
