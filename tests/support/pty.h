#pragma once

#include <pty.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/uniquefd.h"

namespace drvtest {

// A pseudo-terminal pair standing in for the station's line: the driver opens the far end by path, the test
// keeps the master. Dropping the master makes the far end vanish as an unplugged adapter does. path is empty
// when no pair could be made.
struct Pty {
    drv::UniqueFd master;
    std::string path;

    Pty() {
        int m = -1;
        int s = -1;
        char name[256] = {};
        if (::openpty(&m, &s, name, nullptr, nullptr) == 0) {
            master.reset(m);
            ::close(s);
            path = name;
        }
    }
};

// The [ports] section of a drvorvel.ini: every COM name maps to `absent` (a missing device) unless ports names it.
inline std::string PortsSection(const std::map<int, std::string>& ports, const std::string& absent) {
    std::string s = "[ports]\n";
    for (int n = 1; n <= 32; ++n) {
        const auto it = ports.find(n);
        s += "COM" + std::to_string(n) + "=" + (it != ports.end() ? it->second : absent) + "\n";
    }
    return s;
}

}  // namespace drvtest
