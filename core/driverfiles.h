#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace drv {

// Appends the bytes to the raw capture file, creating it when missing; never truncates it.
// Throws std::system_error when the file cannot be opened or written.
void AppendRawCapture(const std::string& path, const std::uint8_t* data, std::size_t size);

// Whether ignore.ini at path lists the object in section [object] with a non-zero number.
// The file is read afresh at every call; a missing or unreadable file ignores nothing.
bool IsObjectIgnored(const std::string& path, std::int32_t objectNumber);

// The bytes of one error log entry: "ошибка №<code>" in Windows-1251, ended by CR LF.
std::string ErrorLogEntry(std::int32_t code);
// Appends one entry to the error log at path, creating the file when missing.
// Throws std::system_error when the file cannot be written.
void AppendErrorLog(const std::string& path, std::int32_t code);

// Five random digits from 10000 to 99998: 10000 + r for a uniform r with 0 <= r < 89999.
std::string DrawClosePassword(std::mt19937& rng);

}  // namespace drv
