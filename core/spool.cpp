#include "core/spool.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/uniquefd.h"

namespace drv {
namespace {

constexpr int kMaxNameTries = 100000;

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = RetryEintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Moves from to to unless to exists. 0 on success, else the errno (EEXIST when the name is taken).
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // The file system cannot rename without replacing: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

}  // namespace

std::optional<std::uint32_t> SpoolTimeValue(TDateTime when) {
    const auto p = DecodeDateTime(when);
    if (!p) return std::nullopt;
    const std::uint32_t seconds = static_cast<std::uint32_t>(p->day) * 86400u + static_cast<std::uint32_t>(p->hour) * 3600u +
                                  static_cast<std::uint32_t>(p->minute) * 60u + static_cast<std::uint32_t>(p->second);
    return seconds * 1000u + static_cast<std::uint32_t>(p->msec);
}

std::string SpoolStem(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

std::optional<std::string> SpoolTimeName(TDateTime when) {
    const auto v = SpoolTimeValue(when);
    if (!v) return std::nullopt;
    return SpoolStem(*v);
}

std::vector<std::uint8_t> BuildOb8(std::uint32_t code, const std::uint8_t* payload, std::size_t size) {
    std::vector<std::uint8_t> bytes(4 + size);
    bytes[0] = static_cast<std::uint8_t>(code);
    bytes[1] = static_cast<std::uint8_t>(code >> 8);
    bytes[2] = static_cast<std::uint8_t>(code >> 16);
    bytes[3] = static_cast<std::uint8_t>(code >> 24);
    for (std::size_t i = 0; i < size; ++i) bytes[4 + i] = payload[i];
    return bytes;
}

SpoolWriteResult WriteSpoolFile(const std::string& prefix, std::optional<std::uint32_t> value,
                                const std::string& suffix, const std::vector<std::uint8_t>& bytes) {
    SpoolWriteResult result;
    const std::string first = prefix + (value ? SpoolStem(*value) : std::string()) + suffix;
    const std::string temp = first + "." + std::to_string(::getpid()) + ".part";

    UniqueFd fd(RetryEintr([&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!fd) {
        result.error = errno;
        return result;
    }
    if (!WriteAll(fd.get(), bytes) || ::fdatasync(fd.get()) != 0) {
        result.error = errno;
        ::unlink(temp.c_str());
        return result;
    }
    if (::close(fd.release()) != 0) {
        result.error = errno;
        ::unlink(temp.c_str());
        return result;
    }

    std::uint32_t v = value.value_or(0);
    for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
        const std::string name = attempt == 0 ? first : prefix + SpoolStem(v) + suffix;
        const int err = RenameNoReplace(temp, name);
        if (err == 0) {
            result.ok = true;
            result.path = name;
            break;
        }
        if (err != EEXIST || !value) {
            result.error = err;
            break;
        }
        ++v;
    }
    if (!result.ok) {
        if (result.error == 0) result.error = EEXIST;
        ::unlink(temp.c_str());
        return result;
    }
    UniqueFd dir(RetryEintr([&] { return ::open(DirectoryOf(result.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (dir) ::fsync(dir.get());  // the rename is done; a failed directory sync cannot undo it
    return result;
}

}  // namespace drv
