#pragma once

#include <QByteArray>

#include "core/metrics.h"

// The two answers of the metrics endpoint, made from one status: the Prometheus text exposition format (version
// 0.0.4) and the JSON of /status, which adds the configuration in effect. Pure functions of the status.
QByteArray PrometheusText(const drv::DriverStatus& status);
QByteArray StatusJson(const drv::DriverStatus& status);
