#include "app/portowner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string ReadLink(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The inodes of the listening sockets on port in one /proc/net table whose address overlaps `wanted` (the raw
// address as the table prints it; empty: any).
void ListeningInodes(const char* table, int port, const std::string& wanted, const std::string& wildcard,
                     std::vector<std::string>& inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos || state != "0A") continue;  // 0A: LISTEN
        if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
        const std::string address = local.substr(0, colon);
        if (!wanted.empty() && address != wanted && address != wildcard) continue;
        inodes.push_back(inode);
    }
}

// The address as /proc/net/tcp prints it: the 32-bit value in host order, in hexadecimal.
std::string TableAddress4(const std::string& dotted) {
    in_addr a{};
    if (::inet_pton(AF_INET, dotted.c_str(), &a) != 1) return {};
    char text[16];
    std::snprintf(text, sizeof text, "%08X", a.s_addr);
    return text;
}

}  // namespace

PortListener FindPortListener(const std::string& address, int port) {
    PortListener result;
    std::vector<std::string> inodes;
    const std::string v4 = TableAddress4(address);
    ListeningInodes("/proc/net/tcp", port, v4.empty() ? std::string() : v4, "00000000", inodes);
    // An IPv6 socket bound to the wildcard address takes IPv4 connections too; any other IPv6 one only overlaps an
    // IPv6 address of the same kind, which this check does not tell apart.
    ListeningInodes("/proc/net/tcp6", port, v4.empty() ? std::string() : "00000000000000000000000000000000",
                    "00000000000000000000000000000000", inodes);
    if (inodes.empty()) return result;
    result.found = true;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return result;
    while (dirent* p = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(p->d_name));
        if (pid <= 0) continue;
        const std::string base = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (fds == nullptr) continue;
        bool holds = false;
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            const std::string target = ReadLink(base + "/fd/" + f->d_name);
            for (const std::string& inode : inodes)
                if (target == "socket:[" + inode + "]") holds = true;
            if (holds) break;
        }
        ::closedir(fds);
        if (!holds) continue;
        result.pid = pid;
        std::ifstream comm(base + "/comm");
        std::getline(comm, result.command);
        result.directory = ReadLink(base + "/cwd");
        break;
    }
    ::closedir(proc);
    return result;
}

std::string DescribeListener(const PortListener& listener) {
    if (listener.pid <= 0) return "another program (its process cannot be seen by this user)";
    std::string text = "process " + std::to_string(listener.pid);
    if (!listener.command.empty()) {
        text += " (" + listener.command;
        if (!listener.directory.empty()) text += " in " + listener.directory;
        text += ")";
    }
    return text;
}
