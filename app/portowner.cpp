#include "app/portowner.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/procfs.h"

namespace {

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
    drv::ForEachOpenFile([&](int pid, const char*, const std::string& target) {
        for (const std::string& inode : inodes)
            if (target == "socket:[" + inode + "]") result.pid = pid;
        return result.pid == 0;
    });
    if (result.pid <= 0) return result;
    const std::string base = "/proc/" + std::to_string(result.pid);
    std::ifstream comm(base + "/comm");
    std::getline(comm, result.command);
    result.directory = drv::ReadLinkTarget(base + "/cwd");
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
