#pragma once

#include <cstdint>
#include <string>

#include "platform/datetime.h"

namespace drv {

inline constexpr const char* kConfigFileName = "drvorvel.ini";
inline constexpr const char* kIgnoreFileName = "ignore.ini";
inline constexpr const char* kRawCaptureFileName = "drvorvel.log";
inline constexpr const char* kErrorLogFileName = "error.txt";
inline constexpr const char* kNoComPort = "COM255";

// The settings of section [main] of drvorvel.ini, with their defaults.
struct DriverSettings {
    std::string ComPort = kNoComPort;
    std::int32_t n_abs = -1;
    std::int32_t name = -1;
    std::int32_t FirstNumber = 4;
    std::string PathForSoob;
    std::string host = "localhost";
    bool NotSendToDiskZ8 = false;
    std::string AttentionText = "00:10:00";
    TDateTime Attention = 600 * kOneSecond;  // the watchdog interval as a fraction of a day
    std::string ret;
    bool Log = false;
    bool SendZ7 = false;
    bool SendZ8 = true;
    bool OTS = false;
    // Milliseconds of silence on the station's line after which an incomplete frame is dropped (key ResyncGap);
    // a value below 1 keeps the default.
    std::int32_t ResyncGap = 100;
};

// Reads section [main] of the file at iniPath; whatever is missing or does not parse keeps its default.
DriverSettings LoadDriverSettings(const std::string& iniPath);

// Section [ServerHost] as the Z8 link reads it before every connection attempt.
inline constexpr const char* kDefaultZ8Address = "127.0.0.1";
inline constexpr std::int32_t kDefaultZ8Port = 12543;
struct ServerHostSettings {
    std::string Address = kDefaultZ8Address;
    std::int32_t Port = kDefaultZ8Port;
};
ServerHostSettings LoadServerHostSettings(const std::string& iniPath);

// Section [metrics]: where the metrics and status endpoint listens. Port 0 (the default) or one outside 1..65535:
// no endpoint.
struct MetricsSettings {
    std::string Address = "127.0.0.1";
    std::int32_t Port = 0;
    bool On() const { return Port > 0 && Port <= 65535; }
};
MetricsSettings LoadMetricsSettings(const std::string& iniPath);

// PathForSoob as a prefix of spool file paths: a relative one is taken from the working directory.
std::string SpoolPrefixFor(const std::string& workingDirectory, const std::string& pathForSoob);

// The watchdog interval written as hh:mm:ss or hh:mm; text that is not a valid time gives 10 minutes.
TDateTime ParseAttention(const std::string& text);

}  // namespace drv
