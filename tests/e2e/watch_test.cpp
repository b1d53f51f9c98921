// Watching the driver from outside: the real driver's metrics and status endpoint, drvorvel --status and the
// commands that need no display.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/uniquefd.h"
#include "tests/support/http.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/tempdir.h"
#include "z8link/z8server.h"

using drvtest::ChildProcess;
using drvtest::WaitUntil;
using namespace std::chrono_literals;

namespace {

int FreePort() {
    drv::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

using drvtest::Http;
using drvtest::HttpAnswer;

// The samples of a Prometheus text, by name with labels ("drvorvel_link_up{link=\"z8\"}").
std::map<std::string, double> Samples(const std::string& text) {
    std::map<std::string, double> samples;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto blank = line.rfind(' ');
        samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    }
    return samples;
}

// The driver run in a plain environment: no display, no platform chosen, no runtime directory.
std::vector<std::string> Bare(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/env",    "-u", "QT_QPA_PLATFORM", "-u",      "DISPLAY", "-u",
                                     "WAYLAND_DISPLAY", "-u", "XDG_RUNTIME_DIR", DRV_DRIVER};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

struct Finished {
    int status = -1;
    std::string out, err;
};

// Runs the program to its end (in dir) and returns its exit status and output.
Finished RunToEnd(const drvtest::TempDir& dir, std::vector<std::string> args) {
    ChildProcess p({Bare(std::move(args)), dir.path(), {}, dir.file("cmd.out"), dir.file("cmd.err")});
    const auto status = p.WaitExit(30s);
    Finished r;
    if (status && WIFEXITED(*status)) r.status = WEXITSTATUS(*status);
    r.out = drvtest::ReadFile(dir.file("cmd.out"));
    r.err = drvtest::ReadFile(dir.file("cmd.err"));
    return r;
}

void SendFrame(const drvtest::Pty& pty, std::uint8_t object) {
    const std::uint8_t frame[] = {0x13, object, 0x0A, 0x05};
    ASSERT_EQ(::write(pty.master.get(), frame, sizeof frame), 4);
    // Apart from the next one: each frame is its own delivery.
    ::usleep(60000);
}

}  // namespace

// Frames while the server is away, then with it back: each counter and gauge says what happened, in a text that
// Prometheus's own checker accepts, and --status tells the same in words and in its exit status.
TEST(WatchingTheDriver, MetricsAndStatusFollowAnOutageOfTheServer) {
    drvtest::TempDir dir("watch");
    drvtest::Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const int z8Port = FreePort();
    const int metricsPort = FreePort();
    dir.write("drvorvel.ini", "[main]\nComPort=COM1\n[ports]\nCOM1=" + pty.path + "\n[ServerHost]\nPort=" +
                                  std::to_string(z8Port) + "\n[metrics]\nPort=" + std::to_string(metricsPort) + "\n");
    dir.write("ignore.ini", "[object]\n40802=1\n");  // object 0x22 of the frames below
    ChildProcess driver({{DRV_DRIVER, "--headless"}, dir.path(), {}, "/dev/null", dir.file("driver.err")});
    std::map<std::string, double> m;
    const auto scrape = [&] {
        const HttpAnswer a = Http(metricsPort, "GET /metrics");
        if (a.status == 200) m = Samples(a.body);
        return a.status == 200;
    };
    const auto metricReaches = [&](const std::string& name, double value) {
        return WaitUntil([&] { return scrape() && m[name] == value; }, 30s);
    };
    ASSERT_TRUE(metricReaches("drvorvel_port_open", 1)) << drvtest::ReadFile(dir.file("driver.err"));
    ASSERT_TRUE(WaitUntil(
        [&] { return drvtest::ReadFile(dir.file("driver.err")).find("z8 link down: refused") != std::string::npos; }));

    Finished status = RunToEnd(dir, {"--status"});
    EXPECT_EQ(status.status, 1) << status.out << status.err;
    EXPECT_NE(status.out.find("Z8 link: DOWN (refused), server 127.0.0.1:" + std::to_string(z8Port)), std::string::npos)
        << status.out;

    for (std::uint8_t object : {0x22, 0x23, 0x24, 0x25}) SendFrame(pty, object);
    ASSERT_TRUE(metricReaches("drvorvel_events_spooled_total", 3));
    EXPECT_EQ(m["drvorvel_frames_total"], 4);
    EXPECT_EQ(m["drvorvel_events_ignored_total"], 1);
    EXPECT_EQ(m["drvorvel_spool_files{kind=\"ob8\"}"], 3);
    EXPECT_EQ(dir.list(".ob8").size(), 3u);
    EXPECT_GT(m["drvorvel_spool_oldest_age_seconds"], 0);
    EXPECT_LT(m["drvorvel_spool_oldest_age_seconds"], 60);
    EXPECT_EQ(m["drvorvel_link_up{link=\"z8\"}"], 0);
    EXPECT_EQ(m["drvorvel_events_delivered_total{path=\"spool\"}"], 0);

    drv::z8::Z8Server server(z8Port);
    server.SetBehaviour({.ackEvents = true});
    ASSERT_TRUE(metricReaches("drvorvel_events_delivered_total{path=\"spool\"}", 3));
    ASSERT_TRUE(metricReaches("drvorvel_spool_files{kind=\"ob8\"}", 0));
    EXPECT_TRUE(dir.list(".ob8").empty());
    for (std::uint8_t object : {0x26, 0x27}) SendFrame(pty, object);
    // Live, unless the server's answer took over 2 s on a loaded machine: then from the file written meanwhile.
    const std::string live = "drvorvel_events_delivered_total{path=\"live\"}";
    const std::string fromSpool = "drvorvel_events_delivered_total{path=\"spool\"}";
    ASSERT_TRUE(WaitUntil([&] { return scrape() && m[live] + m[fromSpool] == 5; }, 30s));
    EXPECT_EQ(m[live], 5 - m["drvorvel_events_spooled_total"]);
    EXPECT_EQ(m[fromSpool], m["drvorvel_events_spooled_total"]);
    EXPECT_EQ(m["drvorvel_spool_files{kind=\"ob8\"}"], 0);
    EXPECT_EQ(m["drvorvel_frames_total"], 6);
    EXPECT_EQ(m["drvorvel_link_up{link=\"z8\"}"], 1);
    EXPECT_EQ(m["drvorvel_link_changes_total{link=\"z8\"}"], 1);
    EXPECT_EQ(m["drvorvel_link_up{link=\"station\"}"], 1);
    EXPECT_EQ(m["drvorvel_spool_oldest_age_seconds"], 0);
    EXPECT_LT(m["drvorvel_last_frame_age_seconds"], 30);
    EXPECT_EQ(m.count("drvorvel_link_up{link=\"z7\"}"), 0u);  // SendZ7=0
    std::size_t events = 0;
    for (const auto& f : server.Frames()) events += f.packet && f.packet->code == 0x03000020 ? 1 : 0;
    EXPECT_EQ(events, 5u);

    const HttpAnswer metrics = Http(metricsPort, "GET /metrics");
    dir.write("metrics.txt", metrics.body);
    EXPECT_EQ(
        std::system(("promtool check metrics < " + dir.file("metrics.txt") + " > " + dir.file("promtool.out") + " 2>&1")
                        .c_str()),
        0)
        << drvtest::ReadFile(dir.file("promtool.out"));
    EXPECT_EQ(Http(metricsPort, "POST /metrics").status, 405);
    EXPECT_EQ(Http(metricsPort, "GET /elsewhere").status, 404);
    const HttpAnswer json = Http(metricsPort, "GET /status");
    EXPECT_NE(json.body.find("\"z8_port\": " + std::to_string(z8Port)), std::string::npos) << json.body;

    status = RunToEnd(dir, {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("Z8 link: up (connected)"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find(std::to_string(static_cast<int>(m[live])) + " delivered live"), std::string::npos)
        << status.out;

    EXPECT_EQ(driver.Stop(), 0);
    status = RunToEnd(dir, {"--status"});
    EXPECT_EQ(status.status, 3);
    EXPECT_NE(status.err.find("no driver runs in " + dir.path()), std::string::npos) << status.err;
    const std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_NE(err.find("drvorvel: z8 link up: connected; Z8 server 127.0.0.1:"), std::string::npos) << err;
    // One line for the refusals, however many attempts were refused.
    EXPECT_EQ(err.find("z8 link down: refused"), err.rfind("z8 link down: refused")) << err;
}

// A headless driver is the driver object alone: once it runs, not one library of Qt's GUI or widgets is mapped
// into it (the window's program, which would load them, is never started).
TEST(WatchingTheDriver, HeadlessLoadsNoGuiOrWidgetsLibrary) {
    drvtest::TempDir dir("nogui");
    dir.write("drvorvel.ini", "[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
    ChildProcess driver({Bare({"--headless"}), dir.path(), {}, "/dev/null", dir.file("driver.err")});
    ASSERT_TRUE(WaitUntil([&] {
        return drvtest::ReadFile(dir.file("driver.err")).find("drvorvel: z8 link down") != std::string::npos;
    })) << drvtest::ReadFile(dir.file("driver.err"));
    const std::string maps = drvtest::ReadFile("/proc/" + std::to_string(driver.pid()) + "/maps");
    EXPECT_NE(maps.find("libQt6Core.so"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libQt6Gui.so"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libQt6Widgets.so"), std::string::npos) << maps;
    EXPECT_EQ(driver.Stop(), 0);
}

// Two stations on one machine: the second one with the first one's metrics port does not start and names the
// first; each --status answers for its own directory only, and counts a closed port and a station not heard yet
// as down.
TEST(WatchingTheDriver, StatusAnswersForItsOwnDirectoryOnlyAndTellsAStationClosedOrNotHeard) {
    drvtest::TempDir north("north"), south("south");
    drvtest::Pty pty;
    ASSERT_FALSE(pty.path.empty());
    drv::z8::Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    const int metricsPort = FreePort();
    const auto ini = [&](const std::string& device, int port) {
        return "[main]\nComPort=COM1\n[ports]\nCOM1=" + device +
               "\n[ServerHost]\nPort=" + std::to_string(server.Port()) + "\n[metrics]\nPort=" + std::to_string(port) +
               "\n";
    };
    north.write("drvorvel.ini", ini(pty.path, metricsPort));
    ChildProcess first({{DRV_DRIVER, "--headless"}, north.path(), {}, "/dev/null", north.file("driver.err")});
    ASSERT_TRUE(WaitUntil([&] { return Http(metricsPort, "GET /metrics").status == 200; }, 30s))
        << drvtest::ReadFile(north.file("driver.err"));
    ASSERT_TRUE(WaitUntil([&] { return server.Frames().size() >= 4; }, 30s));
    Finished r = RunToEnd(north, {"--status"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("station link: DOWN (not heard yet), no frame since the start"), std::string::npos) << r.out;

    south.write("drvorvel.ini", ini(south.file("absent"), metricsPort));
    r = RunToEnd(south, {"--headless"});
    EXPECT_EQ(r.status, 2) << r.err;
    const std::string northPath = std::filesystem::canonical(north.path()).string();
    EXPECT_NE(r.err.find("is taken by process " + std::to_string(first.pid()) + " (drvorvel in " + northPath + ")"),
              std::string::npos)
        << r.err;
    south.write("drvorvel.ini", ini(south.file("absent"), FreePort()));
    ChildProcess second({{DRV_DRIVER, "--headless"}, south.path(), {}, "/dev/null", south.file("driver.err")});
    ASSERT_TRUE(WaitUntil([&] { return RunToEnd(south, {"--status"}).status != 3; }, 30s))
        << drvtest::ReadFile(south.file("driver.err"));
    r = RunToEnd(north, {"--status", "--dir", south.path()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("station link: DOWN (port closed)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("port: COM1 (" + south.file("absent") + ") CLOSED"), std::string::npos) << r.out;

    SendFrame(pty, 0x31);
    EXPECT_TRUE(WaitUntil([&] { return RunToEnd(south, {"--status", "--dir", north.path()}).status == 0; }, 30s));
    EXPECT_EQ(second.Stop(), 0);
    r = RunToEnd(north, {"--status", "--dir", south.path()});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no driver runs in " + south.path() + "\n"), std::string::npos) << r.err;
    r = RunToEnd(north, {"--status", "--dir", north.file("nonexistent")});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no driver runs in " + north.file("nonexistent") + ": there is no such directory"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(first.Stop(), 0);
}

// A spool directory that is not there is made; one that cannot be made keeps its events in memory, and a stop
// puts them into the rescue directory, which the next start empties into the spool: every event reaches the server.
TEST(WatchingTheDriver, NoEventIsLostToASpoolDirectoryThatIsMissingOrCannotBeMade) {
    drvtest::TempDir dir("rescue");
    drvtest::Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const int z8Port = FreePort();
    dir.write("blocked", "a file where the spool's parent should be\n");
    const auto ini = [&](const std::string& spool) {
        return "[main]\nComPort=COM1\nPathForSoob=" + spool + "\n[ports]\nCOM1=" + pty.path +
               "\n[ServerHost]\nPort=" + std::to_string(z8Port) + "\n";
    };
    dir.write("drvorvel.ini", ini(dir.file("blocked/spool/")));
    auto driver = std::make_unique<ChildProcess>(
        ChildProcess::Options{{DRV_DRIVER, "--headless"}, dir.path(), {}, "/dev/null", dir.file("driver.err")});
    ASSERT_TRUE(WaitUntil([&] {
        return drvtest::ReadFile(dir.file("driver.err")).find("cannot be written") != std::string::npos;
    })) << drvtest::ReadFile(dir.file("driver.err"));
    // Frames sent before the port is open would be purged by its opening.
    ASSERT_TRUE(WaitUntil([&] { return RunToEnd(dir, {"--status"}).out.find(") open\n") != std::string::npos; }));
    for (std::uint8_t object : {0x41, 0x42, 0x43}) SendFrame(pty, object);
    ASSERT_TRUE(WaitUntil([&] { return RunToEnd(dir, {"--status"}).out.find("3 in memory") != std::string::npos; }));
    EXPECT_EQ(driver->Stop(), 0);
    std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_NE(err.find("3 events could not be written to the spool under \"" + dir.file("blocked/spool/")),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("they are kept in " + dir.file("spool-rescue")), std::string::npos) << err;
    EXPECT_EQ(std::filesystem::directory_iterator(dir.file("spool-rescue")) == std::filesystem::directory_iterator(),
              false);

    dir.write("drvorvel.ini", ini(dir.file("new/spool/")));
    drv::z8::Z8Server server(z8Port);
    server.SetBehaviour({.ackEvents = true});
    driver = std::make_unique<ChildProcess>(
        ChildProcess::Options{{DRV_DRIVER, "--headless"}, dir.path(), {}, "/dev/null", dir.file("driver2.err")});
    const auto objects = [&] {
        std::size_t seen = 0;
        for (const auto& f : server.Frames()) seen += f.packet && f.packet->code == 0x03000020 ? 1 : 0;
        return seen;
    };
    ASSERT_TRUE(WaitUntil([&] { return objects() >= 3; }, 30s)) << drvtest::ReadFile(dir.file("driver2.err"));
    EXPECT_EQ(driver->Stop(), 0);
    err = drvtest::ReadFile(dir.file("driver2.err"));
    EXPECT_NE(err.find("the spool directory " + dir.file("new/spool") + " did not exist and has been made"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("3 events kept in " + dir.file("spool-rescue") + " at the last stop have gone into the spool"),
              std::string::npos)
        << err;
    EXPECT_EQ(objects(), 3u);
    EXPECT_EQ(std::filesystem::status(dir.file("new/spool")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0750));
    EXPECT_FALSE(std::filesystem::exists(dir.file("spool-rescue")));
}

// Where there is no display: a run without --headless and an unknown option say what to do and end with status 2.
TEST(WatchingTheDriver, WithoutADisplayOrWithAnUnknownOptionTheDriverSaysWhatToDo) {
    drvtest::TempDir dir("nodisplay");
    Finished r = RunToEnd(dir, {});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("there is no display (DISPLAY is not set): start it with --headless"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
    r = RunToEnd(dir, {"--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("drvorvel: unknown option --frobnicate\nUsage: drvorvel", 0), 0u) << r.err;
}

// drvorvel --check on one mistake at a time: each is named, with the exit status 1; a sound directory gives 0.
TEST(WatchingTheDriver, CheckNamesEachCommonMistake) {
    drvtest::TempDir dir("check");
    drvtest::Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const std::string good = "[main]\nComPort=COM1\nPathForSoob=" + dir.file("spool/") + "\n[ports]\nCOM1=" + pty.path +
                             "\n[ServerHost]\nAddress=127.0.0.1\n";
    dir.write("afile", "");
    const struct {
        std::string ini, ignore, expected;
        int status;
    } cases[] = {
        {good, "", "check: all is well", 0},
        {"[main]\nCommPort=COM1\n", "",
         "[main] CommPort=COM1 has no effect: the driver reads no such key; did you mean ComPort?", 1},
        {good + "[main]\nAttention=ten\n", "", "has no effect: only the first [main] section counts", 1},
        {"[mian]\nComPort=COM1\n", "", "[mian] ComPort=COM1 has no effect here: ComPort belongs in [main]", 1},
        {"[main]\nAttention=ten\n" + good.substr(7), "", "Attention=ten is not a time", 1},
        {"[main]\nComPort=COM1\n[ServerHost]\nAddress=no-such-host.invalid\n", "",
         "check: Z8 server \"no-such-host.invalid\": the name is not found", 1},
        {"[main]\nComPort=COM1\n[ports]\nCOM1=" + dir.file("absent") + "\n", "",
         "station port COM1 (" + dir.file("absent") + "): the device does not exist", 1},
        {"[main]\nComPort=COM1\nPathForSoob=" + dir.file("afile/spool/") + "\n[ports]\nCOM1=" + pty.path + "\n", "",
         "spool directory " + dir.file("afile/spool"), 1},
        {good, "[objects]\n40802=1\n",
         "ignore.ini [objects] 40802=1 has no effect: only the section [object] lists objects; did you mean object?",
         1},
        {good, "[object]\n0x9F62=1\n", "an object number is written in decimal", 1},
    };
    for (const auto& c : cases) {
        dir.write("drvorvel.ini", c.ini);
        if (c.ignore.empty()) {
            std::filesystem::remove(dir.file("ignore.ini"));
        } else {
            dir.write("ignore.ini", c.ignore);
        }
        const Finished r = RunToEnd(dir, {"--check", "--dir", dir.path()});
        EXPECT_EQ(r.status, c.status) << c.ini << c.ignore << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.ini << "\n" << r.out;
        EXPECT_NE(r.out.find("drvorvel: configuration: station port"), std::string::npos) << r.out;
    }
}

// Without a display or a chosen platform: --help, --version and a headless run; the metrics are off by default
// and --status says that no driver can be asked.
TEST(WatchingTheDriver, CommandsNeedNoDisplayAndMetricsAreOffByDefault) {
    drvtest::TempDir dir("bare");
    Finished r = RunToEnd(dir, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("drvorvel --status [--dir DIR]"), std::string::npos) << r.out << r.err;
    r = RunToEnd(dir, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("drvorvel 1.", 0), 0u) << r.out << r.err;

    ChildProcess driver({Bare({"--headless"}), dir.path(), {}, "/dev/null", dir.file("driver.err")});
    ASSERT_TRUE(WaitUntil([&] {
        return drvtest::ReadFile(dir.file("driver.err")).find("drvorvel: configuration:") != std::string::npos;
    })) << drvtest::ReadFile(dir.file("driver.err"));
    // Asked through the directory's socket, not the metrics endpoint: no port configured is a station down.
    ASSERT_TRUE(WaitUntil([&] { return (r = RunToEnd(dir, {"--status", "--dir", dir.path()})).status != 3; }));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("station link: DOWN (no port), no frame since the start"), std::string::npos) << r.out;
    EXPECT_EQ(driver.Stop(), 0);
    const std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_NE(err.find("drvorvel: no " + dir.file("drvorvel.ini") + ": every setting has its default"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(", metrics off\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("XDG_RUNTIME_DIR"), std::string::npos) << err;
}

namespace {

// One figure of /proc/<pid>/status ("VmHWM:" and the like), in KiB.
long StatusKiB(pid_t pid, const std::string& field) {
    std::istringstream in(drvtest::ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
    }
    return -1;
}

// The CPU time the process has used, in seconds.
double CpuSeconds(pid_t pid) {
    const std::string stat = drvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::size_t OpenDescriptors(pid_t pid) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
        ::closedir(d);
    }
    return n;
}

struct WatchedDriver {
    drvtest::TempDir dir{"attack"};
    drvtest::Pty pty;
    int z8Port = FreePort();
    int metricsPort = FreePort();
    std::unique_ptr<ChildProcess> process;

    // The driver with its file limit at what systemd gives a service by default.
    WatchedDriver() {
        dir.write("drvorvel.ini", "[main]\nComPort=COM1\n[ports]\nCOM1=" + pty.path +
                                      "\n[ServerHost]\nPort=" + std::to_string(z8Port) +
                                      "\n[metrics]\nPort=" + std::to_string(metricsPort) + "\n");
        process = std::make_unique<ChildProcess>(
            ChildProcess::Options{{"/usr/bin/prlimit", "--nofile=1024:1024", DRV_DRIVER, "--headless"},
                                  dir.path(),
                                  {},
                                  "/dev/null",
                                  dir.file("driver.err")});
    }
    std::string Err() const { return drvtest::ReadFile(dir.file("driver.err")); }
    bool Answers() const { return Http(metricsPort, "GET /metrics", 2000).status == 200; }
};

}  // namespace

// The metrics port as a hostile local process uses it: 2,000 connections that send nothing and one request sent a
// byte at a time, against a driver limited to 1,024 descriptors, while the station sends and the Z8 server goes
// away and comes back. Every event reaches the server, the endpoint holds few descriptors and the driver does not
// spin; once the connections are gone, /metrics answers again.
TEST(WatchingTheDriver, MetricsConnectionsCannotStarveTheDriver) {
    WatchedDriver d;
    ASSERT_FALSE(d.pty.path.empty());
    auto server = std::make_unique<drv::z8::Z8Server>(d.z8Port);
    server->SetBehaviour({.ackEvents = true});
    ASSERT_TRUE(WaitUntil([&] { return d.Answers(); }, 30s)) << d.Err();
    ASSERT_TRUE(server->WaitForConnections(1, 30000)) << d.Err();
    const pid_t pid = d.process->pid();

    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 2100) GTEST_SKIP() << "this process may not open 2,000 connections";
    std::vector<drv::UniqueFd> idle;
    for (int i = 0; i < 2000; ++i) idle.push_back(drvtest::ConnectLoopback(d.metricsPort, true));
    drv::UniqueFd slow = drvtest::ConnectLoopback(d.metricsPort, true);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::size_t slowSent = 0;
    const double cpuBefore = CpuSeconds(pid);
    const auto t0 = std::chrono::steady_clock::now();
    std::size_t mostDescriptors = 0;
    const auto whileAttacked = [&](std::uint8_t object) {
        SendFrame(d.pty, object);
        if (slowSent < request.size() && ::send(slow.get(), request.data() + slowSent, 1, MSG_NOSIGNAL) == 1)
            ++slowSent;
        mostDescriptors = std::max(mostDescriptors, OpenDescriptors(pid));
    };
    std::set<std::uint8_t> sent;
    for (std::uint8_t object = 0x30; object < 0x35; ++object) whileAttacked(object), sent.insert(object);
    std::vector<drv::z8::ReceivedFrame> frames = server->Frames();
    server.reset();  // away
    for (std::uint8_t object = 0x35; object < 0x3A; ++object) whileAttacked(object), sent.insert(object);
    server = std::make_unique<drv::z8::Z8Server>(d.z8Port);
    server->SetBehaviour({.ackEvents = true});
    for (std::uint8_t object = 0x3A; object < 0x40; ++object) whileAttacked(object), sent.insert(object);

    // Each event's object number (40000 + 0x300 + the frame's second byte), little-endian at the start of its
    // payload, at one server or the other.
    const auto delivered = [&] {
        std::set<std::uint8_t> got;
        auto all = frames;
        for (const auto& f : server->Frames()) all.push_back(f);
        for (const auto& f : all) {
            if (f.packet && f.packet->code == 0x03000020 && f.packet->payload.size() >= 20) {
                const auto& b = f.packet->payload;
                const int number = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24;
                got.insert(static_cast<std::uint8_t>(number - 40768));
            }
        }
        return got;
    };
    ASSERT_TRUE(WaitUntil([&] { return delivered() == sent; }, 60s)) << d.Err();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(CpuSeconds(pid) - cpuBefore, 0.5 * wall) << "the driver spun under the attack";
    EXPECT_LT(mostDescriptors, 100u) << "the endpoint held on to connections";
    EXPECT_TRUE(d.process->Running());

    idle.clear();
    slow.reset();
    ASSERT_TRUE(WaitUntil([&] { return d.Answers(); }, 20s)) << d.Err();
}

// Request bodies are not read: a 100 MB POST and a GET that declares 300 MB are answered (405, 413) and closed,
// and the driver's peak memory does not grow by their size.
TEST(WatchingTheDriver, ARequestBodyCostsNoMemory) {
    WatchedDriver d;
    ASSERT_TRUE(WaitUntil([&] { return d.Answers(); }, 30s)) << d.Err();
    const pid_t pid = d.process->pid();
    const long peakBefore = StatusKiB(pid, "VmHWM:");
    struct Case {
        std::string head;
        int status;
    };
    for (const Case& c : {Case{"POST /metrics HTTP/1.1\r\nContent-Length: 104857600\r\n\r\n", 405},
                          Case{"GET /metrics HTTP/1.1\r\nContent-Length: 314572800\r\n\r\n", 413}}) {
        drv::UniqueFd s = drvtest::ConnectLoopback(d.metricsPort, true);
        pollfd p{s.get(), POLLOUT, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        std::string answer;
        const std::string chunk(1 << 16, 'x');
        std::size_t sent = 0;
        bool headSent = false;
        // The head, then as much of the body as the driver takes, reading whatever it answers meanwhile.
        for (const auto end = std::chrono::steady_clock::now() + 20s;
             std::chrono::steady_clock::now() < end && sent < (100u << 20);) {
            pollfd q{s.get(), POLLIN | POLLOUT, 0};
            if (::poll(&q, 1, 1000) <= 0) continue;
            if (q.revents & POLLIN) {
                char buf[4096];
                const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
                if (n <= 0) break;
                answer.append(buf, static_cast<std::size_t>(n));
            } else if (q.revents & POLLOUT) {
                const std::string& what = headSent ? chunk : c.head;
                const ssize_t n = ::send(s.get(), what.data(), what.size(), MSG_NOSIGNAL);
                if (n < 0) break;
                if (headSent) {
                    sent += static_cast<std::size_t>(n);
                } else {
                    headSent = true;
                }
            } else {
                break;
            }
        }
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << answer;
    }
    EXPECT_TRUE(d.Answers());
    EXPECT_LT(StatusKiB(pid, "VmHWM:") - peakBefore, 8 * 1024) << "KiB more at the peak";
}

// The real driver with something at its station's lock path: a FIFO (which anyone may make in the lock directory)
// neither freezes it nor keeps the port closed; a lock of a live process keeps the port closed, and --status names
// that process.
TEST(WatchingTheDriver, TheStationsLockPathFreezesNothingAndNamesALiveHolder) {
    if (::access("/run/lock", W_OK) != 0) GTEST_SKIP() << "no lock directory to write to";
    for (const bool live : {false, true}) {
        SCOPED_TRACE(live ? "live pid" : "FIFO");
        drvtest::TempDir dir("lockpath");
        drvtest::Pty pty;
        ASSERT_FALSE(pty.path.empty());
        const std::string lock = "/run/lock/LCK..pts_" + pty.path.substr(pty.path.rfind('/') + 1);
        if (live) {
            std::ofstream(lock) << std::to_string(::getpid()) << "\n";
        } else {
            ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
        }
        const int metricsPort = FreePort();
        dir.write("drvorvel.ini", "[main]\nSendZ8=0\nComPort=COM1\n[ports]\nCOM1=" + pty.path +
                                      "\n[metrics]\nPort=" + std::to_string(metricsPort) + "\n");
        ChildProcess driver({{DRV_DRIVER, "--headless"}, dir.path(), {}, "/dev/null", dir.file("driver.err")});
        const std::string expected =
            live ? "\"port_holder_pid\": " + std::to_string(::getpid()) : "\"port_open\": true";
        ASSERT_TRUE(
            WaitUntil([&] { return Http(metricsPort, "GET /status").body.find(expected) != std::string::npos; }, 30s))
            << drvtest::ReadFile(dir.file("driver.err"));
        const Finished status = RunToEnd(dir, {"--status"});
        EXPECT_NE(status.out.find(live ? "CLOSED, held by process " + std::to_string(::getpid()) : ") open"),
                  std::string::npos)
            << status.out << status.err;
        if (!live) {
            EXPECT_NE(drvtest::ReadFile(dir.file("driver.err")).find(lock + " is no lock file (a FIFO owned by "),
                      std::string::npos);
        }
        EXPECT_EQ(driver.Stop(), 0);
        ::unlink(lock.c_str());
    }
}
