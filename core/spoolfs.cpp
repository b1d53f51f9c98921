#include "core/spoolfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
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
    // Made anew, never opened through what already has the name: a link or a second name of another file (a hard
    // link to the configuration) loses only that name, never its content.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
    UniqueFd fd(RetryEintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644); }));
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

int SpoolFs::MakeDirectories(const std::string& dir, unsigned mode) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    const std::string parent = DirectoryOf(dir);
    if (parent != dir && parent != "." && parent != "/") {
        if (const int err = MakeDirectories(parent, mode); err != 0) return err;
    }
    if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST) return 0;
    return errno;
}

int SpoolFs::Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int SpoolFs::SyncFile(const std::string& path) {
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) return errno;
    return ::fdatasync(fd.get()) == 0 ? 0 : errno;
}

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

const char* FileTypeName(unsigned mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "regular file";
        case S_IFDIR:
            return "directory";
        case S_IFIFO:
            return "FIFO";
        case S_IFLNK:
            return "symbolic link";
        case S_IFSOCK:
            return "socket";
        case S_IFCHR:
            return "character device";
        case S_IFBLK:
            return "block device";
        default:
            return "file of unknown type";
    }
}

SpoolFileRead SpoolFs::ReadFile(const std::string& path, std::size_t limit, bool wholeOnly) {
    SpoolFileRead r;
    const auto fail = [&](int error) {
        r.error = error;
        r.status = error == ENOENT ? SpoolFileRead::Status::Gone : SpoolFileRead::Status::Failed;
        return r;
    };
    const auto notRegular = [&](unsigned mode) {
        r.status = SpoolFileRead::Status::NotRegular;
        r.fileType = FileTypeName(mode);
        return r;
    };
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return notRegular(st.st_mode);
    // The name may have been replaced since: O_NOFOLLOW refuses a link, O_NONBLOCK keeps a FIFO from blocking the
    // open, and the type is checked again on what was opened.
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd) return errno == ELOOP ? notRegular(S_IFLNK) : fail(errno);
    if (::fstat(fd.get(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return notRegular(st.st_mode);
    r.size = static_cast<std::uint64_t>(st.st_size);
    if (!(wholeOnly && r.size > limit))
        r.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(r.size, limit)));
    std::size_t got = 0;
    while (got < r.bytes.size()) {
        const ssize_t n = RetryEintr([&] { return ::read(fd.get(), r.bytes.data() + got, r.bytes.size() - got); });
        if (n < 0) {
            r.bytes.clear();
            return fail(errno);
        }
        if (n == 0) break;  // shortened since fstat
        got += static_cast<std::size_t>(n);
    }
    r.bytes.resize(got);
    r.status = SpoolFileRead::Status::Ok;
    return r;
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
