// The whole road of station events: the real driver, started offscreen in a working directory of its own, between
// the station simulator on a pseudo-terminal and the Z8 server simulator on a loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "core/stationframe.h"
#include "platform/uniquefd.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using drvtest::ChildProcess;
using drvtest::WaitUntil;
using Event = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The value of "name=" in a line, up to the next blank.
std::string Field(const std::string& line, const std::string& name) {
    const auto p = line.find(" " + name);
    if (p == std::string::npos) return {};
    const auto start = p + 1 + name.size();
    return line.substr(start, line.find(' ', start) - start);
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(drvtest::ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A loopback address on which the Z7 server's fixed port 7788 is free: the driver's port cannot be moved, the
// address can, so tests running side by side do not meet.
std::string FreeZ7Address() {
    std::mt19937 rng(static_cast<unsigned>(::getpid()) ^ std::random_device{}());
    for (int attempt = 0; attempt < 50; ++attempt) {
        const std::string address = "127." + std::to_string(rng() % 200 + 20) + "." + std::to_string(rng() % 250 + 1) +
                                    "." + std::to_string(rng() % 250 + 1);
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(7788);
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (free) return address;
    }
    return {};
}

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::string Describe(const Event& e) {
    std::ostringstream s;
    for (auto b : e) s << std::hex << static_cast<int>(b) << ' ';
    return s.str();
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { port = FreePort(); }

    // On a failure, what each party said, for the log.
    void TearDown() override {
        if (!HasFailure()) return;
        for (const char* name :
             {"station.out", "station.err", "server.out", "server.err", "z7.out", "z7-again.out", "driver.err"}) {
            std::cerr << "---- " << name << "\n" << drvtest::ReadFile(dir.file(name));
        }
        std::cerr << "---- spool files:";
        for (const auto& n : dir.list(".ob8")) std::cerr << ' ' << n;
        std::cerr << "\n";
    }

    void StartServer(std::vector<std::string> args) {
        std::vector<std::string> argv = {DRV_Z8SERVERSIM, "--port", std::to_string(port)};
        argv.insert(argv.end(), args.begin(), args.end());
        server = std::make_unique<ChildProcess>(
            ChildProcess::Options{argv, dir.path(), {}, dir.file("server.out"), dir.file("server.err")});
        ASSERT_TRUE(WaitUntil(
            [&] { return drvtest::ReadFile(dir.file("server.out")).find("listening") != std::string::npos; }));
    }

    // Waits until the driver's link has made its handshake with the server, then lets the station start (it was
    // given --start-when with go()).
    void LetStationGoWhenLinkIsUp() {
        ASSERT_TRUE(WaitUntil(
            [&] { return drvtest::ReadFile(dir.file("server.out")).find("code 0x02200063") != std::string::npos; },
            60s))
            << drvtest::ReadFile(dir.file("driver.err"));
        dir.write("go", "");
    }
    std::string go() const { return dir.file("go"); }

    // Starts the station on a pseudo-terminal (it waits until the driver has opened the port), then the driver.
    void StartStationAndDriver(std::vector<std::string> stationArgs, const std::string& mainLines = "") {
        std::vector<std::string> argv = {DRV_STATIONSIM, "--pty", "--link", dir.file("station-tty"),
                                         "--wait-open",  "60",    "--hold", "3"};
        argv.insert(argv.end(), stationArgs.begin(), stationArgs.end());
        station = std::make_unique<ChildProcess>(
            ChildProcess::Options{argv, dir.path(), {}, dir.file("station.out"), dir.file("station.err")});
        ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir.file("station-tty")); }));
        dir.write("drvorvel.ini", "[main]\nComPort=COM1\n" + mainLines + "\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                      std::to_string(port) + "\n[ports]\nCOM1=" + dir.file("station-tty") + "\n");
        driver = std::make_unique<ChildProcess>(ChildProcess::Options{
            {DRV_DRIVER}, dir.path(), {"QT_QPA_PLATFORM=offscreen"}, dir.file("driver.out"), dir.file("driver.err")});
    }

    void WaitStationDone() {
        ASSERT_TRUE(WaitUntil(
            [&] { return drvtest::ReadFile(dir.file("station.out")).find("done ") != std::string::npos; }, 120s))
            << drvtest::ReadFile(dir.file("station.err")) << drvtest::ReadFile(dir.file("driver.err"));
    }

    void WaitStationSent(std::size_t frames) {
        ASSERT_TRUE(WaitUntil([&] { return Sent().size() >= frames; }, 60s))
            << drvtest::ReadFile(dir.file("station.err"));
    }

    // The events the station sent, as the driver must build them (FirstNumber 4): the simulator computes them from
    // the frame format on its own. times: the moment each frame's last byte went into the line (ms, monotonic).
    std::vector<Event> Sent(std::vector<double>* times = nullptr) const {
        std::vector<Event> out;
        for (const auto& line : Lines(dir.file("station.out"))) {
            if (line.rfind("sent ", 0) != 0) continue;
            out.push_back(FromHex(Field(line, "event=")));
            if (times) times->push_back(std::stod(Field(line, "at=")));
        }
        return out;
    }

    // The station events the server received, in order, with their sequence numbers and (with --times) the
    // moments they arrived (ms, monotonic).
    std::vector<Event> AtServer(std::vector<long>* seqs = nullptr, std::vector<double>* times = nullptr) const {
        std::vector<Event> out;
        for (const auto& line : Lines(dir.file("server.out"))) {
            if (line.find("code 0x03000020") == std::string::npos) continue;
            if (times) times->push_back(std::stod(line.substr(3)));
            const auto p = line.find("payload ");
            if (p == std::string::npos) continue;
            std::string hex;
            for (char c : line.substr(p + 8)) {
                if (c != ' ') hex += c;
            }
            out.push_back(FromHex(hex));
            if (seqs) seqs->push_back(std::stol(line.substr(line.find(" seq ") + 5)));
        }
        return out;
    }

    // The events in .ob8 files, in the order of their names; fails the test on a file that is not one event.
    std::vector<Event> Spooled() const {
        std::vector<Event> out;
        for (const auto& name : dir.list(".ob8")) {
            const auto bytes = drvtest::ReadBytes(dir.file(name));
            EXPECT_EQ(bytes.size(), 24u) << name;
            if (bytes.size() != 24u) continue;
            EXPECT_EQ(Event(bytes.begin(), bytes.begin() + 4), (Event{0x20, 0x00, 0x00, 0x03})) << name;
            out.emplace_back(bytes.begin() + 4, bytes.end());
        }
        return out;
    }

    // Whether every event sent is at the server or in a spool file.
    bool AllAccountedFor(const std::vector<Event>& sent) const {
        std::map<Event, int> have;
        for (const auto& e : AtServer()) ++have[e];
        for (const auto& e : Spooled()) ++have[e];
        return std::all_of(sent.begin(), sent.end(), [&](const Event& e) { return have[e] > 0; });
    }

    // Every event sent is at the server or in a spool file, as often as it was sent.
    void ExpectNothingLost(const std::vector<Event>& sent) {
        std::map<Event, int> have;
        for (const auto& e : AtServer()) ++have[e];
        for (const auto& e : Spooled()) ++have[e];
        std::map<Event, int> want;
        for (const auto& e : sent) ++want[e];
        for (const auto& [e, n] : want) EXPECT_GE(have[e], n) << "missing: " << Describe(e);
    }

    drvtest::TempDir dir;
    int port = 0;
    std::unique_ptr<ChildProcess> server, station, driver;
};

std::string WriteFrames(const drvtest::TempDir& dir, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        char line[32];
        // 5-byte frames (bit 0x10 clear) with distinct object numbers.
        std::snprintf(line, sizeof line, "%02X%02X%02X%02X%02X\n", 0x01 + ((i >> 8) & 0x0F), i & 0xFF, 0x21, i & 0xFF,
                      0x77);
        text += line;
    }
    dir.write("frames.txt", text);
    return dir.file("frames.txt");
}

}  // namespace

TEST_F(EndToEnd, StationFramesReachTheServerInOrderEachOnce) {
    StartServer({"--ack", "--poll"});
    StartStationAndDriver({"--random", "40", "--rate", "8", "--seed", "11"});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 40u);
    ASSERT_TRUE(WaitUntil([&] { return AtServer().size() >= 40; }, 60s));
    std::vector<long> seqs;
    EXPECT_EQ(AtServer(&seqs), sent);
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()));
    EXPECT_EQ(std::adjacent_find(seqs.begin(), seqs.end()), seqs.end());
    EXPECT_TRUE(dir.list(".ob8").empty());
}

TEST_F(EndToEnd, ASteadyThirtyFramesASecondReachTheServerEachWithin100Ms) {
    StartServer({"--ack", "--poll", "--times"});
    StartStationAndDriver({"--random", "300", "--rate", "30", "--seed", "16", "--start-when", go()});
    LetStationGoWhenLinkIsUp();
    WaitStationDone();
    std::vector<double> sentAt;
    const auto sent = Sent(&sentAt);
    ASSERT_EQ(sent.size(), 300u);
    ASSERT_TRUE(WaitUntil([&] { return AtServer().size() >= sent.size(); }, 60s));
    std::vector<double> arrivedAt;
    ASSERT_EQ(AtServer(nullptr, &arrivedAt), sent);  // every event, in order, each once
    EXPECT_TRUE(dir.list(".ob8").empty());
    // From the moment the frame's last byte went into the line to the moment the server had the event.
    std::vector<double> latency;
    for (std::size_t i = 0; i < sent.size(); ++i) latency.push_back(arrivedAt[i] - sentAt[i]);
    const auto worst = std::max_element(latency.begin(), latency.end());
    std::vector<double> sorted = latency;
    std::sort(sorted.begin(), sorted.end());
    std::cerr << "latency ms: min " << sorted.front() << " median " << sorted[sorted.size() / 2] << " max " << *worst
              << "\n";
    EXPECT_LE(*worst, 100.0) << "frame " << (worst - latency.begin()) << " of " << latency.size();
    EXPECT_GE(sorted.front(), 0.0);
}

TEST_F(EndToEnd, WithTheServerDownEachFrameBecomesOneSpoolFile) {
    StartStationAndDriver({"--random", "25", "--rate", "8", "--seed", "12"});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 25u);
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= 25; }, 30s));
    EXPECT_EQ(Spooled(), sent);
}

TEST_F(EndToEnd, ABurstOfFullPacketsArrivesCompleteAndCorrect) {
    StartServer({"--ack"});
    StartStationAndDriver({"--file", WriteFrames(dir, 300), "--burst", "300", "--no-pace"});
    WaitStationDone();
    // The ring takes a burst of 300 only in part: what it refuses is spooled and then forwarded, so that in the
    // end the server has the whole burst, each event once.
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").empty() && AtServer().size() >= 300; }, 60s));
    auto got = AtServer();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 300u);
    std::sort(got.begin(), got.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(got, sent);
}

TEST_F(EndToEnd, ABurstAtLineSpeedIsNotCutApart) {
    StartStationAndDriver({"--file", WriteFrames(dir, 300), "--burst", "300"});
    WaitStationDone();
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= 300; }, 60s));
    EXPECT_EQ(Spooled(), Sent());
}

TEST_F(EndToEnd, ASlowServerUnderABurstLosesNothing) {
    StartServer({"--ack", "--delay", "20"});
    StartStationAndDriver({"--file", WriteFrames(dir, 300), "--burst", "300", "--no-pace"});
    WaitStationDone();
    // The overflow goes to spool files, which are forwarded in turn.
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").empty() && AtServer().size() >= 300; }, 90s));
    EXPECT_EQ(AtServer().size(), 300u);
    ExpectNothingLost(Sent());
}

TEST_F(EndToEnd, ASilentServerCostsNoEvent) {
    StartServer({"--silent"});
    StartStationAndDriver({"--random", "6", "--rate", "4", "--seed", "13"});
    WaitStationDone();
    const auto sent = Sent();
    // Each unanswered event is handed back and spooled once its reply has not come.
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= sent.size(); }, 90s));
    ExpectNothingLost(sent);
}

TEST_F(EndToEnd, AServerThatClosesMidStreamCostsNoEvent) {
    StartServer({"--ack", "--after", "9", "close"});
    StartStationAndDriver({"--random", "20", "--rate", "8", "--seed", "14"});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_TRUE(WaitUntil([&] { return AllAccountedFor(sent); }, 90s));
    ExpectNothingLost(sent);
}

TEST_F(EndToEnd, IgnoreListAndRawCaptureTakeEffect) {
    dir.write("ignore.ini", "[object]\n40258=1\n");
    dir.write("frames.txt", "1101210A\n1102020B\n1103030C\n");  // objects 40257, 40258, 40259
    StartStationAndDriver({"--file", dir.file("frames.txt"), "--rate", "8"}, "Log=1");
    WaitStationDone();
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= 2; }, 30s));
    const auto spooled = Spooled();
    ASSERT_EQ(spooled.size(), 2u);
    EXPECT_EQ(drv::EventObjectNumber(*reinterpret_cast<const drv::StationEvent*>(spooled[0].data())), 40257);
    EXPECT_EQ(drv::EventObjectNumber(*reinterpret_cast<const drv::StationEvent*>(spooled[1].data())), 40259);
    ASSERT_TRUE(WaitUntil([&] { return drvtest::ReadFile(dir.file("drvorvel.log")).size() >= 12; }, 10s));
    EXPECT_EQ(drvtest::ReadBytes(dir.file("drvorvel.log")),
              (Event{0x11, 0x01, 0x21, 0x0A, 0x11, 0x02, 0x02, 0x0B, 0x11, 0x03, 0x03, 0x0C}));
}

TEST_F(EndToEnd, EventsSpooledWhileTheServerIsDownReachItInOrderEachOnceWhenItComesBack) {
    StartStationAndDriver({"--random", "30", "--rate", "8", "--seed", "16"});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 30u);
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= 30; }, 30s));
    StartServer({"--ack"});
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").empty() && AtServer().size() >= 30; }, 60s));
    EXPECT_EQ(AtServer(), sent);
}

TEST_F(EndToEnd, KillingTheDriverMidBurstLeavesOnlyCompleteSpoolFiles) {
    StartStationAndDriver({"--file", WriteFrames(dir, 300), "--burst", "300"});
    ASSERT_TRUE(WaitUntil([&] { return dir.list(".ob8").size() >= 40; }, 60s));
    driver->Signal(SIGKILL);
    driver->WaitExit(10s);
    const auto spooled = Spooled();  // checks every file: 24 bytes, code first
    const auto sent = Sent();
    ASSERT_FALSE(spooled.empty());
    ASSERT_LE(spooled.size(), sent.size());
    for (std::size_t i = 0; i < spooled.size(); ++i) EXPECT_EQ(spooled[i], sent[i]) << i;
}

TEST_F(EndToEnd, StoppingTheDriverBySignalClosesThePortFirstAndKeepsWhatTheLinkStillHolds) {
    // The server takes the hello and never answers: the link waits for that answer, the burst's events wait in
    // its ring, and the signal comes as soon as the driver has read the burst, well before an event has waited
    // the 2 s after which it would be written anyway.
    StartServer({"--silent"});
    StartStationAndDriver(
        {"--file", WriteFrames(dir, 20), "--burst", "20", "--start-when", go(), "--hold-until-close", "60"}, "Log=1");
    ASSERT_TRUE(
        WaitUntil([&] { return drvtest::ReadFile(dir.file("server.out")).find("frame 0") != std::string::npos; }, 60s));
    ASSERT_TRUE(
        WaitUntil([&] { return drvtest::ReadFile(dir.file("station.out")).find("ready") != std::string::npos; }));
    // The order of what happens at the stop, as the kernel sees it: the driver's close of the station's line, and
    // spool files appearing.
    const drv::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    const int tty =
        ::inotify_add_watch(watch.get(), dir.file("station-tty").c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    ASSERT_GE(tty, 0);
    ASSERT_GE(::inotify_add_watch(watch.get(), dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const auto changes = [&] {
        std::vector<std::string> seen;  // "port closed", or the name of a spool file
        alignas(inotify_event) char buf[8192];
        for (ssize_t n; (n = ::read(watch.get(), buf, sizeof buf)) > 0;) {
            for (char* p = buf; p < buf + n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if (e->wd == tty) {
                    if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) seen.push_back("port closed");
                } else if (std::string(e->name).find(".ob8") != std::string::npos) {
                    seen.push_back(e->name);
                }
            }
        }
        return seen;
    };
    dir.write("go", "");
    WaitStationSent(20);
    ASSERT_TRUE(WaitUntil([&] { return drvtest::ReadFile(dir.file("drvorvel.log")).size() >= 100; }, 30s));
    ASSERT_EQ(changes(), std::vector<std::string>{});  // nothing is on disk yet: the link holds every event
    driver->Signal(SIGTERM);
    const auto status = driver->WaitExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    const auto order = changes();
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), "port closed");
    EXPECT_EQ(std::count(order.begin(), order.end(), "port closed"), 1);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 20u);
    EXPECT_EQ(Spooled(), sent);  // each event once, in the order of the line
}

TEST_F(EndToEnd, KilledWhileTheServerTricklesItsRepliesLosesNoEvent) {
    // Every reply comes one byte at a time (about 1.2 s each): events wait behind the handshake and each other,
    // and every one that waits 2 s goes to its spool file while the driver still runs.
    StartServer({"--ack", "--trickle", "30"});
    StartStationAndDriver({"--random", "8", "--rate", "4", "--seed", "16"});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_TRUE(WaitUntil([&] { return AllAccountedFor(sent); }, 60s));
    ASSERT_TRUE(WaitUntil([&] { return !AtServer().empty(); }, 60s));
    driver->Signal(SIGKILL);
    driver->WaitExit(10s);
    ExpectNothingLost(sent);
}

TEST_F(EndToEnd, TheZ7LinkAnnouncesItselfReconnectsAndEndsTheDriverOnTheCloseRecord) {
    const std::string z7 = FreeZ7Address();
    ASSERT_FALSE(z7.empty());
    // Each run of the simulator writes a file of its own.
    const auto startZ7 = [&](const std::string& out, std::vector<std::string> args) {
        std::vector<std::string> argv = {DRV_Z7SERVERSIM, "--bind", z7};
        argv.insert(argv.end(), args.begin(), args.end());
        auto sim =
            std::make_unique<ChildProcess>(ChildProcess::Options{argv, dir.path(), {}, dir.file(out), dir.file(out)});
        EXPECT_TRUE(WaitUntil([&] { return drvtest::ReadFile(dir.file(out)).find("listening") != std::string::npos; }));
        return sim;
    };
    auto z7sim = startZ7("z7.out", {});
    StartStationAndDriver({"--frame", "13220A05", "--hold-until-close", "120"}, "SendZ7=1\nSendZ8=0\nhost=" + z7);
    ASSERT_TRUE(WaitUntil(
        [&] { return drvtest::ReadFile(dir.file("z7.out")).find("conn 1: code 50 param 1 ") != std::string::npos; }));
    EXPECT_NE(drvtest::ReadFile(dir.file("z7.out")).find("conn 1: code 20 param 9 "), std::string::npos);

    // The server goes and comes back: the driver is there again within its 3-second retry.
    z7sim->Stop();
    z7sim = startZ7("z7-again.out", {"--after", "2", "close-driver"});
    const auto listening = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        return drvtest::ReadFile(dir.file("z7-again.out")).find("conn 1: code 50 param 1 ") != std::string::npos;
    }));
    const auto reconnect = std::chrono::steady_clock::now() - listening;
    std::cout << "Z7 reconnect " << std::chrono::duration_cast<std::chrono::milliseconds>(reconnect).count()
              << " ms after the server listened again\n";
    EXPECT_LT(reconnect, 6s) << "3 s retry, plus a loaded machine's slack";

    // The announcement is answered with the close record: the driver ends by itself, its port closed.
    const auto status = driver->WaitExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(
        WaitUntil([&] { return drvtest::ReadFile(dir.file("station.out")).find("done ") != std::string::npos; }, 30s));
}

// The line behind a USB adapter or a relay: the station's bytes reach the driver in chunks cut anywhere in a frame.
struct ChunkedLine {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const ChunkedLine& line, std::ostream* os) { *os << line.name; }

class ChunkedEndToEnd : public EndToEnd, public ::testing::WithParamInterface<ChunkedLine> {};

TEST_P(ChunkedEndToEnd, EveryEventOnceExactInOrder) {
    // A station simulator held up by a loaded machine for longer than the resync gap leaves the line
    // really silent that long, and the driver is right to drop the frame it cut: such a run says nothing of how
    // the line was chunked, so it is run again, at most twice.
    for (int attempt = 0;; ++attempt) {
        StartServer({"--ack"});
        std::vector<std::string> args = {"--random", "90", "--seed", "21", "--start-when", go()};
        args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
        StartStationAndDriver(args);
        LetStationGoWhenLinkIsUp();
        WaitStationDone();
        std::vector<double> times;
        const auto sent = Sent(&times);
        ASSERT_EQ(sent.size(), 90u);
        const bool stalled = std::adjacent_find(times.begin(), times.end(),
                                                [](double a, double b) { return b - a > drv::kDefaultResyncGapMs; }) != times.end();
        if (stalled && attempt < 2) {
            driver.reset();
            station.reset();
            server.reset();
            for (const auto& name : dir.list()) std::filesystem::remove_all(dir.file(name));
            port = FreePort();
            continue;
        }
        // Nothing more than was sent ever arrives: a frame decoded out of step would be an event never sent.
        ASSERT_TRUE(WaitUntil([&] { return AtServer().size() >= sent.size(); }, 60s));
        EXPECT_EQ(AtServer(), sent);
        EXPECT_TRUE(dir.list(".ob8").empty());
        return;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ChunkedEndToEnd,
    ::testing::Values(ChunkedLine{"Adapter16msBackToBack", {"--chunk-every", "16", "--burst", "90", "--rate", "1"}},
                      ChunkedLine{"Adapter32msBackToBack", {"--chunk-every", "32", "--burst", "90", "--rate", "1"}},
                      ChunkedLine{"Adapter16msAt30PerSecond", {"--chunk-every", "16", "--rate", "30"}},
                      ChunkedLine{"Adapter32msAt30PerSecond", {"--chunk-every", "32", "--rate", "30"}},
                      ChunkedLine{"RelayRandomGapsUpTo45ms", {"--chunk-random", "1:45", "--rate", "30"}}),
    [](const ::testing::TestParamInfo<ChunkedLine>& info) { return std::string(info.param.name); });

// No adapter at startup (found late after boot): the port is opened when it comes and its frames reach the server.
TEST_F(EndToEnd, APortMissingAtStartupIsOpenedWhenItsDeviceComes) {
    StartServer({"--ack"});
    dir.write("drvorvel.ini", "[main]\nComPort=COM1\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) +
                                  "\n[ports]\nCOM1=" + dir.file("station-tty") + "\n");
    driver = std::make_unique<ChildProcess>(ChildProcess::Options{
        {DRV_DRIVER}, dir.path(), {"QT_QPA_PLATFORM=offscreen"}, dir.file("driver.out"), dir.file("driver.err")});
    ASSERT_TRUE(WaitUntil(
        [&] { return drvtest::ReadFile(dir.file("driver.err")).find("does not open") != std::string::npos; }));
    std::this_thread::sleep_for(3s);  // the adapter is found three seconds later
    station = std::make_unique<ChildProcess>(
        ChildProcess::Options{{DRV_STATIONSIM, "--pty", "--link", dir.file("station-tty"), "--wait-open", "60",
                               "--hold", "1", "--random", "5", "--rate", "10", "--seed", "22"},
                              dir.path(),
                              {},
                              dir.file("station.out"),
                              dir.file("station.err")});
    WaitStationDone();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 5u);
    ASSERT_TRUE(WaitUntil([&] { return AtServer().size() + dir.list(".ob8").size() >= sent.size(); }, 30s));
    ExpectNothingLost(sent);
    const std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_EQ(err.find("does not open"), err.rfind("does not open")) << "the startup message comes once";
}

// One line on standard error for each change of a link's state or reason, with the true reason: a Z7 server that
// goes away for a few retries, then a Z8 server killed outright.
TEST_F(EndToEnd, EachLinkSaysOneLinePerChangeWithItsTrueReason) {
    const std::string z7 = FreeZ7Address();
    ASSERT_FALSE(z7.empty());
    const auto startZ7 = [&](const std::string& out) {
        auto sim = std::make_unique<ChildProcess>(
            ChildProcess::Options{{DRV_Z7SERVERSIM, "--bind", z7}, dir.path(), {}, dir.file(out), dir.file(out)});
        EXPECT_TRUE(WaitUntil([&] { return drvtest::ReadFile(dir.file(out)).find("listening") != std::string::npos; }));
        return sim;
    };
    const auto err = [&] { return drvtest::ReadFile(dir.file("driver.err")); };
    const auto count = [&](const std::string& text) {
        const std::string e = err();
        std::size_t n = 0;
        for (auto p = e.find(text); p != std::string::npos; p = e.find(text, p + 1)) ++n;
        return n;
    };
    auto z7sim = startZ7("z7.out");
    StartServer({});
    StartStationAndDriver({"--frame", "13220A05", "--hold-until-close", "120"}, "SendZ7=1\nhost=" + z7);
    ASSERT_TRUE(WaitUntil([&] { return count("z7 link up") == 1 && count("z8 link up") == 1; }, 30s)) << err();

    z7sim->Stop();
    ASSERT_TRUE(WaitUntil([&] { return count("z7 link down: refused") == 1; }, 30s)) << err();
    // A few retries of 3 s each find nothing listening.
    const auto down = std::chrono::steady_clock::now();
    WaitUntil([&] { return std::chrono::steady_clock::now() - down > 7s; }, 20s);
    z7sim = startZ7("z7-again.out");
    ASSERT_TRUE(WaitUntil([&] { return count("z7 link up") == 2; }, 30s)) << err();
    EXPECT_EQ(count("z7 link down"), 2u) << err();
    EXPECT_LT(err().find("z7 link down: closed by the server"), err().find("z7 link down: refused")) << err();

    server->Signal(SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return count("z8 link down: refused") == 1; }, 30s)) << err();
    const auto killed = std::chrono::steady_clock::now();
    WaitUntil([&] { return std::chrono::steady_clock::now() - killed > 3s; }, 20s);
    EXPECT_EQ(count("z8 link down"), 2u) << err();
    EXPECT_LT(err().find("z8 link down: closed by the server"), err().find("z8 link down: refused")) << err();
    EXPECT_EQ(count("no reply in time"), 0u) << err();
}
