#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>

namespace drv {

// Appends the bytes to the raw capture file, creating it when missing; never truncates it.
// Throws std::system_error when the file cannot be opened or written.
void AppendRawCapture(const std::string& path, const std::uint8_t* data, std::size_t size);

// The objects that ignore.ini suppresses, with the parsed keys kept between frames. Every call looks at the file
// (one stat) and reads it again only when it may have changed since it was read: another file (device, inode),
// another size, modification or change time, or a modification so recent when it was read that a rewrite within
// the same timestamp tick could not be told apart. So an edit takes effect at the very next call.
// Not thread-safe: the main thread's.
class IgnoreList {
public:
    // now: the wall clock in nanoseconds since the epoch, as file times count; empty: the system's.
    explicit IgnoreList(std::function<std::int64_t()> now = {}) : m_now(std::move(now)) {}

    // Whether ignore.ini at path lists the object in section [object] with a non-zero number, as the file is now.
    // A missing or unreadable file ignores nothing.
    bool IsIgnored(const std::string& path, std::int32_t objectNumber);
    // How often the file was read (for tests and benchmarks).
    unsigned long Reads() const { return m_reads; }

private:
    struct Stamp {
        bool exists = false;
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = 0, modifiedNs = 0, changedNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp StampOf(const std::string& path);
    void Load(const std::string& path, const Stamp& stamp);

    std::function<std::int64_t()> m_now;
    std::string m_path;
    std::optional<Stamp> m_trusted;  // the stamp of the file the keys came from; none: read at the next call
    std::unordered_set<std::string> m_ignored;
    unsigned long m_reads = 0;
};

// The bytes of one error log entry: "ошибка №<code>" in Windows-1251, ended by CR LF.
std::string ErrorLogEntry(std::int32_t code);
// Appends one entry to the error log at path, creating the file when missing.
// Throws std::system_error when the file cannot be written.
void AppendErrorLog(const std::string& path, std::int32_t code);
// Appends count entries of one code in one write.
void AppendErrorLog(const std::string& path, std::int32_t code, std::size_t count);

// Five random digits from 10000 to 99998: 10000 + r for a uniform r with 0 <= r < 89999.
std::string DrawClosePassword(std::mt19937& rng);

}  // namespace drv
