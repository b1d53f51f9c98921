#include "core/spoolfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/uniquefd.h"

namespace drv {
namespace {

int WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = RetryEintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int SpoolFs::WriteDurably(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!fd) return errno;
    int err = WriteAll(fd.get(), bytes);
    if (err == 0 && ::fdatasync(fd.get()) != 0) err = errno;
    if (err == 0 && ::close(fd.release()) != 0) err = errno;
    if (err != 0) ::unlink(path.c_str());
    return err;
}

int SpoolFs::RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // The file system cannot rename without replacing: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

int SpoolFs::Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int SpoolFs::SyncDirectory(const std::string& dir) {
    UniqueFd fd(RetryEintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) return errno;
    return ::fsync(fd.get()) == 0 ? 0 : errno;
}

int SpoolFs::List(const std::string& dir, std::vector<std::string>* names) {
    names->clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return errno;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names->emplace_back(e->d_name);
    }
    ::closedir(d);
    return 0;
}

int SpoolFs::Read(const std::string& path, std::size_t limit, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return errno;
    std::uint8_t buf[4096];
    while (bytes->size() < limit) {
        const std::size_t want = std::min(sizeof buf, limit - bytes->size());
        const ssize_t n = RetryEintr([&] { return ::read(fd.get(), buf, want); });
        if (n < 0) return errno;
        if (n == 0) break;
        bytes->insert(bytes->end(), buf, buf + n);
    }
    return 0;
}

SpoolFs& SystemSpoolFs() {
    static SpoolFs fs;
    return fs;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace drv
