#pragma once

#include <sys/types.h>

#include <string>

// Who listens on a local TCP port: read from /proc/net/tcp and tcp6 (the socket's inode) and /proc/<pid>/fd (the
// process that holds it), as far as this user may look. Blocks briefly on /proc; any thread.
struct PortListener {
    bool found = false;     // a socket listens on the port at an address that overlaps the one asked about
    pid_t pid = 0;          // 0: the holder could not be seen (another user's process)
    std::string command;    // its /proc/<pid>/comm
    std::string directory;  // its working directory, when it may be read
};

// address: dotted IPv4 or an IPv6 text; a listener on the same address or on the wildcard address overlaps it.
PortListener FindPortListener(const std::string& address, int port);

// "process 1234 (drvorvel in /var/lib/drvorvel/north)", or "another program (its process cannot be seen)".
std::string DescribeListener(const PortListener& listener);
