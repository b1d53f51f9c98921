#include "app/checkcommand.h"

#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/portowner.h"
#include "core/config.h"
#include "core/configcheck.h"
#include "core/spoolfs.h"
#include "platform/inifile.h"
#include "serial/linuxserial.h"
#include "serial/portnames.h"

namespace {

struct Report {
    int problems = 0;
    void Line(const std::string& text) { std::printf("drvorvel: %s\n", text.c_str()); }
    void Problem(const std::string& text) {
        ++problems;
        Line(text);
    }
};

void CheckPort(Report& r, const drv::DriverSettings& s, const std::string& iniPath) {
    if (s.ComPort == drv::kNoComPort) {
        r.Problem("check: no station port is configured (ComPort=" + s.ComPort + "): no frame can arrive");
        return;
    }
    const std::string device = drv::DevicePathForPort(std::string(drv::kPortNamePrefix) + s.ComPort, iniPath);
    const std::string what = "check: station port " + s.ComPort + " (" + device + ")";
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        r.Problem(what + ": " + (errno == ENOENT ? std::string("the device does not exist") : std::strerror(errno)) +
                  (device.starts_with("/dev/ttyS") ? "" : "; [ports] in drvorvel.ini maps COM names to devices"));
        return;
    }
    if (!S_ISCHR(st.st_mode)) {
        r.Problem(what + ": no character device");
        return;
    }
    if (::access(device.c_str(), R_OK | W_OK) != 0) {
        r.Problem(what + ": this user may not open it (" + std::strerror(errno) +
                  "); the service's user needs the device's group, usually dialout");
        return;
    }
    if (const int holder = drv::FindDeviceHolder(device); holder > 0) {
        PortListener who;
        who.pid = holder;
        char buf[4096];
        const std::string base = "/proc/" + std::to_string(holder);
        if (FILE* f = std::fopen((base + "/comm").c_str(), "r")) {
            if (std::fgets(buf, sizeof buf, f) != nullptr) who.command = std::string(buf, std::strcspn(buf, "\n"));
            std::fclose(f);
        }
        if (const ssize_t n = ::readlink((base + "/cwd").c_str(), buf, sizeof buf - 1); n > 0)
            who.directory.assign(buf, static_cast<std::size_t>(n));
        r.Line(what + ": held by " + DescribeListener(who) + " now; the driver opens it once that program lets it go");
        return;
    }
    r.Line(what + ": the device is there and may be opened");
}

void CheckSpool(Report& r, const std::string& directory, const drv::DriverSettings& s) {
    const std::string dir = drv::DirectoryOf(drv::SpoolPrefixFor(directory, s.PathForSoob));
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            r.Problem("check: spool directory " + dir + ": no directory");
        } else if (::access(dir.c_str(), W_OK | X_OK) != 0) {
            r.Problem("check: spool directory " + dir + ": cannot be written (" + std::strerror(errno) + ")");
        } else {
            r.Line("check: spool directory " + dir + ": can be written");
        }
        return;
    }
    if (errno != ENOENT) {
        r.Problem("check: spool directory " + dir + ": " + std::strerror(errno));
        return;
    }
    std::string parent = dir;
    do {
        parent = drv::DirectoryOf(parent);
    } while (::stat(parent.c_str(), &st) != 0 && errno == ENOENT && parent != "/" && parent != ".");
    if (::access(parent.c_str(), W_OK | X_OK) == 0) {
        r.Line("check: spool directory " + dir + ": does not exist yet; the driver makes it at the start");
    } else {
        r.Problem("check: spool directory " + dir + ": does not exist, and " + parent + " cannot be written (" +
                  std::strerror(errno) + ") to make it");
    }
}

void CheckName(Report& r, const std::string& what, const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int e = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); e != 0) {
        r.Problem("check: " + what + " \"" + host + "\": the name is not found (" + ::gai_strerror(e) + ")");
        return;
    }
    ::freeaddrinfo(found);
    r.Line("check: " + what + " \"" + host + "\": the name is found");
}

void CheckMetrics(Report& r, const std::string& directory, const drv::MetricsSettings& m) {
    if (!m.On()) return;
    const std::string where = m.Address + ":" + std::to_string(m.Port);
    const PortListener l = FindPortListener(m.Address, m.Port);
    if (!l.found) {
        r.Line("check: metrics port " + where + ": free");
        return;
    }
    char here[4096];
    if (l.pid > 0 && ::realpath(directory.c_str(), here) != nullptr && l.directory == here) {
        r.Line("check: metrics port " + where + ": in use by the driver of this directory");
        return;
    }
    r.Problem("check: metrics port " + where + ": taken by " + DescribeListener(l) +
              "; give each station its own [metrics] Port");
}

}  // namespace

int RunCheckCommand(const std::string& directory) {
    Report r;
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    const std::vector<std::string> warnings = drv::ConfigurationWarnings(iniPath);
    for (const std::string& line : warnings) r.Problem(line);
    for (const std::string& line : drv::IgnoreListWarnings(drv::JoinPath(directory, drv::kIgnoreFileName)))
        r.Problem(line);
    r.Line(drv::ConfigurationLine(directory));
    const drv::DriverSettings s = drv::LoadDriverSettings(iniPath);
    CheckPort(r, s, iniPath);
    if (s.SendZ7 || (s.SendZ8 && !s.NotSendToDiskZ8)) CheckSpool(r, directory, s);
    if (s.SendZ8) CheckName(r, "Z8 server", drv::LoadServerHostSettings(iniPath).Address);
    if (s.SendZ7) CheckName(r, "Z7 host", s.host);
    CheckMetrics(r, directory, drv::LoadMetricsSettings(iniPath));
    if (r.problems == 0) {
        r.Line("check: all is well");
    } else {
        r.Line("check: " + std::to_string(r.problems) + (r.problems == 1 ? " thing needs" : " things need") +
               " attention");
    }
    return r.problems == 0 ? 0 : 1;
}
