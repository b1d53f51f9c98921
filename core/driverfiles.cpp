#include "core/driverfiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "platform/inifile.h"
#include "platform/uniquefd.h"

namespace drv {
namespace {

void AppendToFile(const std::string& path, const void* data, std::size_t size, const char* what) {
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }));
    if (!fd) throw std::system_error(errno, std::generic_category(), std::string("cannot open ") + what + " " + path);
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = RetryEintr([&] { return ::write(fd.get(), p + done, size - done); });
        if (n <= 0) {
            throw std::system_error(n == 0 ? EIO : errno, std::generic_category(),
                                    std::string("cannot write ") + what + " " + path);
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void AppendRawCapture(const std::string& path, const std::uint8_t* data, std::size_t size) {
    AppendToFile(path, data, size, "the raw capture");
}

bool IsObjectIgnored(const std::string& path, std::int32_t objectNumber) {
    const IniFile ini(path);
    return ini.ReadBool("object", std::to_string(objectNumber), false);
}

std::string ErrorLogEntry(std::int32_t code) {
    // "ошибка №" in Windows-1251, written as its bytes so that no converter is needed.
    static constexpr char kErrorText[] = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9";
    return kErrorText + std::to_string(code) + "\r\n";
}

void AppendErrorLog(const std::string& path, std::int32_t code) {
    const std::string entry = ErrorLogEntry(code);
    AppendToFile(path, entry.data(), entry.size(), "the error log");
}

std::string DrawClosePassword(std::mt19937& rng) {
    std::uniform_int_distribution<int> dist(0, 89998);
    return std::to_string(10000 + dist(rng));
}

}  // namespace drv
