#include "core/driverfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

namespace {
// The coarsest timestamp tick of the file systems the file may live on (two seconds on FAT): a file modified less
// than this before it was read might be rewritten after that without any change of its times.
constexpr std::int64_t kTimestampDoubtNs = 2'000'000'000;

std::int64_t Nanoseconds(const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

std::string FoldCase(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}
}  // namespace

IgnoreList::Stamp IgnoreList::StampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true,
            static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::int64_t>(st.st_size),
            Nanoseconds(st.st_mtim),
            Nanoseconds(st.st_ctim)};
}

void IgnoreList::Load(const std::string& path, const Stamp& stamp) {
    timespec realtime{};
    ::clock_gettime(CLOCK_REALTIME, &realtime);
    const std::int64_t now = m_now ? m_now() : Nanoseconds(realtime);
    m_ignored.clear();
    m_path = path;
    m_trusted.reset();
    if (stamp.exists) {
        ++m_reads;
        for (const auto& [key, value] : IniFile(path).SectionEntries("object")) {
            const auto n = ParseProfileInteger(value);
            if (n && *n != 0) m_ignored.insert(FoldCase(key));
        }
    }
    if (!stamp.exists || std::max(stamp.modifiedNs, stamp.changedNs) < now - kTimestampDoubtNs) {
        m_trusted = stamp;
    }
}

bool IgnoreList::IsIgnored(const std::string& path, std::int32_t objectNumber) {
    const Stamp stamp = StampOf(path);
    if (path != m_path || !m_trusted || !(*m_trusted == stamp)) Load(path, stamp);
    return m_ignored.count(std::to_string(objectNumber)) != 0;
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

void AppendErrorLog(const std::string& path, std::int32_t code, std::size_t count) {
    const std::string entry = ErrorLogEntry(code);
    std::string entries;
    entries.reserve(entry.size() * count);
    for (std::size_t i = 0; i < count; ++i) entries += entry;
    AppendToFile(path, entries.data(), entries.size(), "the error log");
}

std::string DrawClosePassword(std::mt19937& rng) {
    std::uniform_int_distribution<int> dist(0, 89998);
    return std::to_string(10000 + dist(rng));
}

}  // namespace drv
