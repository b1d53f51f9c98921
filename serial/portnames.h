#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace drv {

// The prefix of every port name the driver shows and stores ("\\.\COM3").
inline constexpr std::string_view kPortNamePrefix = "\\\\.\\";

// The number n of a port name of the form "\\.\COMn" (letters in any case, n a decimal number from 1 on);
// nullopt for any other name.
std::optional<unsigned> ComPortNumberOf(std::string_view portName);

// The device path a port name stands for on this machine. For "\\.\COMn": the value of key COMn in section
// [ports] of the INI file at iniPath (read at every call; a missing file, key or empty value falls through),
// else /dev/ttyS followed by n - 1. Any other name: what follows the "\\.\" prefix, or the whole name when it
// has no such prefix.
std::string DevicePathForPort(std::string_view portName, const std::string& iniPath);

}  // namespace drv
