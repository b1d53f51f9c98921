#include "platform/procfs.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace drv {

std::string ReadLinkTarget(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

int ForEachOpenFile(const std::function<bool(int pid, const char* fdName, const std::string& target)>& visit) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    int unreadable = 0;
    bool more = true;
    while (const dirent* e = more ? ::readdir(proc) : nullptr) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0) continue;
        const std::string fdDir = std::string("/proc/") + e->d_name + "/fd/";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) {  // gone, or another user's
            if (errno == EACCES || errno == EPERM) ++unreadable;
            continue;
        }
        while (const dirent* f = more ? ::readdir(fds) : nullptr) {
            if (f->d_name[0] == '.') continue;
            more = visit(static_cast<int>(pid), f->d_name, ReadLinkTarget(fdDir + f->d_name));
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return unreadable;
}

}  // namespace drv
