#pragma once

#include <functional>
#include <string>

namespace drv {

// The target of a symbolic link (such as /proc/<pid>/fd/<n>), or empty when it cannot be read.
std::string ReadLinkTarget(const std::string& path);

// Walks the open descriptors of every process this user may look at (/proc/<pid>/fd), calling
// visit(pid, fdName, target) for each; visit returns false to end the walk. Gives the number of processes seen whose
// descriptors this user may not read (EACCES or EPERM). Never blocks on what the descriptors lead to.
int ForEachOpenFile(const std::function<bool(int pid, const char* fdName, const std::string& target)>& visit);

}  // namespace drv
