#include "serial/portnames.h"

#include <charconv>

#include "platform/inifile.h"

namespace drv {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<unsigned> ComPortNumberOf(std::string_view portName) {
    if (!portName.starts_with(kPortNamePrefix)) return std::nullopt;
    std::string_view rest = portName.substr(kPortNamePrefix.size());
    if (!StartsWithNoCase(rest, "COM")) return std::nullopt;
    rest.remove_prefix(3);
    if (rest.empty()) return std::nullopt;
    for (char c : rest) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    if (ec != std::errc() || end != rest.data() + rest.size() || n == 0) return std::nullopt;
    return n;
}

std::string DevicePathForPort(std::string_view portName, const std::string& iniPath) {
    if (const auto n = ComPortNumberOf(portName)) {
        const std::string key = "COM" + std::to_string(*n);
        const std::string mapped = IniFile(iniPath).ReadString("ports", key, "");
        if (!mapped.empty()) return mapped;
        return "/dev/ttyS" + std::to_string(*n - 1);
    }
    if (portName.starts_with(kPortNamePrefix)) return std::string(portName.substr(kPortNamePrefix.size()));
    return std::string(portName);
}

}  // namespace drv
