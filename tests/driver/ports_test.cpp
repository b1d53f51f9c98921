// The driver object's port management and the station port's recovery (no window): pseudo-terminals mapped in
// [ports] stand for free, busy and vanishing ports; a loopback Z8 server receives the port status reports. The
// window's part (which text each button hands over, the closing password before a stop) is tested in tests/ui.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "driver/driver.h"
#include "platform/inifile.h"
#include "serial/CPDrv.h"
#include "serial/linuxserial.h"
#include "tests/support/coreapp.h"
#include "tests/support/pty.h"
#include "tests/support/tempdir.h"
#include "z7link/SimpleTCP.h"
#include "z7link/z7record.h"
#include "z7link/z7server.h"
#include "z8link/Unit7.h"
#include "z8link/z8server.h"

using drvtest::Pty;
using drvtest::WaitWithEvents;

namespace {

using Seen = std::vector<std::string>;
using Names = std::vector<std::string>;

// Writes bytes into the line as the station does.
void Send(const drvtest::Pty& pty, const std::vector<std::uint8_t>& bytes) {
    EXPECT_EQ(::write(pty.master.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// What a port status report carried.
struct Report {
    std::string name;
    bool open = false;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Report& r) { return os << r.name << "/" << r.open; }

// Standard error goes to a file while this lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) {
        std::fflush(stderr);
        m_saved = ::dup(2);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
    }

private:
    int m_saved = -1;
};

// Another program that keeps a device open (a terminal, a modem tool) until this ends.
class OtherHolder {
public:
    explicit OtherHolder(const std::string& path) {
        m_pid = ::fork();
        if (m_pid == 0) {
            if (::open(path.c_str(), O_RDWR | O_NOCTTY) < 0) ::_exit(1);
            for (;;) ::pause();
        }
        // Held once the child's descriptor shows.
        EXPECT_TRUE(WaitWithEvents([&] { return drv::FindDeviceHolder(path) == m_pid; }));
    }
    ~OtherHolder() {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    int pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

std::vector<std::uint8_t> Frame4(int object) {
    return {static_cast<std::uint8_t>(0x10 | ((object >> 8) & 0x0F)), static_cast<std::uint8_t>(object & 0xFF), 0x0A,
            0x05};
}

constexpr const char* kPortInUse = "Порт уже занят!";

class PortManagement : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }
    void TearDown() override { driver.reset(); }

    drvtest::TempDir dir;
    drvtest::RecordingView view;
    std::unique_ptr<drv::z8::Z8Server> server;
    std::unique_ptr<drv::Driver> driver;
    std::uint16_t z7Port = 0;
    bool stopRequested = false;

    // Starts the driver with a Z8 server (unless SendZ8=0 is in main) and waits for its handshake; startup shows
    // exactly the messages startupMessages.
    void Start(const std::string& main, const std::map<int, std::string>& ports = {}, Seen startupMessages = {}) {
        const bool z8 = main.find("SendZ8=0") == std::string::npos;
        if (z8) {
            server = std::make_unique<drv::z8::Z8Server>();
            server->SetBehaviour({.ackEvents = true});
        }
        dir.write("drvorvel.ini", "; kept\n[main]\n" + main + "\n[ServerHost]\nAddress=127.0.0.1\nPort=" +
                                      std::to_string(z8 ? server->Port() : 1) + "\n" + drvtest::PortsSection(ports, dir.file("absent")));
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.stopRequested = [this] { return stopRequested; };
        options.randomSeed = 4242;
        options.portReopenIntervalMs = 20;
        options.z7Port = z7Port;
        driver = std::make_unique<drv::Driver>(&view, options);
        driver->Start();
        EXPECT_EQ(view.messages, startupMessages);
        if (z8) {
            ASSERT_TRUE(WaitWithEvents([&] { return server->Frames().size() >= 4; }));
        }
    }

    // Runs fn and returns the messages it showed.
    Seen Shown(const std::function<void()>& fn) {
        view.messages.clear();
        fn();
        return view.messages;
    }

    // The port status reports the server got after the handshake, in order.
    std::vector<Report> Reports() const {
        std::vector<Report> out;
        for (const auto& f : server->Frames()) {
            if (!f.packet || f.packet->code != drv::z8::kPortStatus || f.index == 1) continue;
            const auto& p = f.packet->payload;
            out.push_back({std::string(reinterpret_cast<const char*>(&p[1]), p[0]), p[7] != 0});
        }
        return out;
    }
    // Waits until the server has count reports and returns them.
    std::vector<Report> ReportsWhen(std::size_t count) const {
        EXPECT_TRUE(WaitWithEvents([&] { return Reports().size() >= count; }));
        return Reports();
    }
    std::string StoredComPort() const {
        return drv::IniFile(dir.file("drvorvel.ini")).ReadString("main", "ComPort", "");
    }

    // The port state as the view was told it, and as the driver keeps it.
    void ExpectRunning(bool running) const {
        EXPECT_EQ(view.running, running);
        EXPECT_EQ(driver->PortRunning(), running);
    }
};

}  // namespace

TEST_F(PortManagement, RescanListsTheFreePortsInOrderStoresAndReportsTheFirst) {
    Pty com2, com3, com7;
    Start("", {{2, com2.path}, {3, com3.path}, {7, com7.path}});
    drv::LinuxSerialDevice holder([this] { return dir.file("drvorvel.ini"); });
    ASSERT_TRUE(holder.Open("\\\\.\\COM3"));  // another program holds COM3
    EXPECT_EQ(Shown([&] { driver->RescanPorts(""); }), Seen{});
    EXPECT_EQ(view.ports, (Names{"COM2", "COM7"}));
    EXPECT_EQ(view.portText, "COM2");
    EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(StoredComPort(), "COM2");
    EXPECT_EQ(driver->State().shared.ComPort(), "COM2");
    EXPECT_EQ(dir.read("drvorvel.ini").rfind("; kept\n[main]\nComPort=COM2\n", 0), 0u);
    EXPECT_EQ(ReportsWhen(1), (std::vector<Report>{{"COM2", false}}));
    ExpectRunning(false);

    // The operator's pick is the selection step too.
    driver->SelectPort("COM7");
    EXPECT_EQ(StoredComPort(), "COM7");
    EXPECT_EQ(ReportsWhen(2).back(), (Report{"COM7", false}));
}

TEST_F(PortManagement, ADeviceAnotherProcessHoldsIsNeitherListedNorStarted) {
    Pty com2, com3;
    Start("", {{2, com2.path}, {3, com3.path}});
    OtherHolder other(com3.path);
    driver->RescanPorts("");
    EXPECT_EQ(view.ports, Names{"COM2"});
    EXPECT_EQ(Shown([&] { driver->StartPort("COM3"); }), Seen{kPortInUse});
    EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
}

// A typed name is reported in Windows-1251, cut to 6 characters; a stop signal during the failed start's message
// ends the handler without the scan.
TEST_F(PortManagement, ATypedNameIsStoredInTheIniCodePageAndAStopDuringAMessageEndsTheHandler) {
    Pty com2;
    Start("ComPort=COM255", {{2, com2.path}});
    driver->RescanPorts("");
    ASSERT_EQ(ReportsWhen(1).size(), 1u);

    view.onMessage = [this](const std::string&) { stopRequested = true; };  // the stop comes while it is open
    EXPECT_EQ(Shown([&] { driver->StartPort("Порт-Ω9"); }), Seen{kPortInUse});
    EXPECT_EQ(view.ports, Names{"COM2"});  // no scan after the message
    view.onMessage = nullptr;
    stopRequested = false;
    OtherHolder other(com2.path);    // no free port now
    driver->RescanPorts("Порт-Ω9");  // no free port: the shown text is stored
    EXPECT_EQ(StoredComPort(), "\xCF\xEE\xF0\xF2-?9");
    EXPECT_EQ(ReportsWhen(2).back(), (Report{"\xCF\xEE\xF0\xF2-?", false}));
}

TEST_F(PortManagement, RescanWithNoFreePortStoresTheUnchangedText) {
    Start("");
    driver->RescanPorts("COM9");
    EXPECT_TRUE(view.ports.empty());
    EXPECT_EQ(view.portText, "COM9");
    EXPECT_EQ(StoredComPort(), "COM9");
    EXPECT_EQ(ReportsWhen(1), (std::vector<Report>{{"COM9", false}}));
}

// Right after a startup that opened the port the list is empty: a start after a stop fails on the empty text,
// says so, and the rescan that follows stores the first free port. The failed start queues two reports.
TEST_F(PortManagement, StopThenStartWithoutRescanFailsAndRescans) {
    Pty com3;
    Start("ComPort=COM3", {{3, com3.path}});
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen());
    ExpectRunning(true);
    EXPECT_EQ(Shown([&] { driver->StopPort(true); }), Seen{});
    EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
    ExpectRunning(false);
    EXPECT_EQ(Shown([&] { driver->StartPort(view.portText); }), Seen{kPortInUse});
    ExpectRunning(false);
    EXPECT_EQ(view.ports, Names{"COM3"});
    EXPECT_EQ(ReportsWhen(3), (std::vector<Report>{{"COM3", false}, {"COM3", false}, {"COM3", false}}));
}

// The operator's stop, a failed start and a start each leave one line on standard error; the status counts the
// stop and tells the closed port.
TEST_F(PortManagement, StopAndStartAreOnRecord) {
    Pty com3;
    StderrCapture capture(dir.file("stderr.txt"));
    Start("ComPort=COM3", {{3, com3.path}});
    EXPECT_EQ(driver->Status(false).portState, "open");
    driver->StopPort(true);
    drv::DriverStatus status = driver->Status(false);
    EXPECT_EQ(status.portState, "stopped");
    EXPECT_EQ(status.portOperatorStops, 1u);
    EXPECT_FALSE(status.links[static_cast<int>(drv::Link::Station)].up);
    EXPECT_EQ(status.links[static_cast<int>(drv::Link::Station)].reason, "port closed");
    driver->StartPort(view.portText);  // the empty list's text: a rescan
    EXPECT_EQ(Shown([&] { driver->StartPort(view.portText); }), Seen{});
    ExpectRunning(true);
    EXPECT_EQ(driver->Status(false).portState, "open");
    std::fflush(stderr);
    const std::string err = drvtest::ReadFile(dir.file("stderr.txt"));
    const auto lines = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto p = err.find(text); p != std::string::npos; p = err.find(text, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(lines("drvorvel: port COM3 stopped by the operator; what the station sends is not read"), 1u) << err;
    EXPECT_EQ(lines("drvorvel: port \"\" could not be started by the operator"), 1u) << err;
    EXPECT_EQ(lines("drvorvel: port COM3 started by the operator after "), 1u) << err;
    EXPECT_EQ(lines("drvorvel: port "), 3u) << err;
}

// Start opens the given name; the report carries the stored ComPort, which only the selection changes.
TEST_F(PortManagement, StartATypedNameReportsTheStoredOneAndARefusedStopKeepsThePort) {
    Pty com2, com7;
    Start("", {{2, com2.path}, {7, com7.path}});
    driver->RescanPorts("");
    EXPECT_EQ(Shown([&] { driver->StartPort("COM7"); }), Seen{});
    EXPECT_TRUE(driver->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(driver->CommPortDriver1->PortName(), "\\\\.\\COM7");
    ExpectRunning(true);
    EXPECT_EQ(StoredComPort(), "COM2");
    EXPECT_EQ(ReportsWhen(2), (std::vector<Report>{{"COM2", false}, {"COM2", true}}));

    // A refused stop (the closing password not given) says so and keeps the port open; each is reported.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Shown([&] { driver->StopPort(false); }), Seen{"Неправильный пароль. В доступе отказано"});
        EXPECT_TRUE(driver->CommPortDriver1->IsPortOpen());
        ExpectRunning(true);
    }
    EXPECT_EQ(ReportsWhen(4).back(), (Report{"COM2", true}));
    // Nothing scans or selects while the port runs.
    driver->RescanPorts("");
    driver->SelectPort("COM7");
    EXPECT_TRUE(driver->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(StoredComPort(), "COM2");
}

// A started port is announced on a connected Z7 link; while the link is down nothing is sent or spooled, and
// the link's own connection sequence announces the port when it is back.
TEST_F(PortManagement, AStartAnnouncesThePortOnAConnectedZ7LinkOnly) {
    Pty com7;
    drv::z7::Z7Server z7;
    z7Port = static_cast<std::uint16_t>(z7.Port());
    Start("SendZ8=0\nSendZ7=1\nhost=127.0.0.1", {{7, com7.path}});
    driver->Timer3->stop();  // the test reconnects by itself
    ASSERT_TRUE(WaitWithEvents([&] { return z7.Pieces().size() >= 2; }));
    driver->StartPort("COM7");
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen());
    ASSERT_TRUE(WaitWithEvents([&] { return z7.Pieces().size() >= 3; }));
    EXPECT_EQ(z7.Pieces()[2].bytes, drv::z7::BuildRecord(drv::z7::kPortNumber, 7));

    driver->StopPort(true);
    z7.CloseConnection();
    ASSERT_TRUE(WaitWithEvents([&] { return !driver->SimpleTCPClient1->Connected(); }));
    driver->StartPort("COM7");
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen());
    driver->Timer3Timer();
    ASSERT_TRUE(WaitWithEvents([&] { return z7.Pieces().size() >= 5; }));
    std::vector<std::pair<int, int>> seen;  // connection, code
    for (const auto& p : z7.Pieces()) seen.emplace_back(p.connection, drv::z7::CodeOf(p.bytes.data()));
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 20}, {1, 50}, {1, 50}, {2, 20}, {2, 50}}));
    EXPECT_TRUE(dir.list(".obz").empty());
}

TEST_F(PortManagement, WithoutTheZ8LinkEverythingWorksWithoutReports) {
    Pty com4;
    Start("SendZ8=0", {{4, com4.path}});
    driver->RescanPorts("");
    EXPECT_EQ(StoredComPort(), "COM4");
    driver->StartPort(view.portText);
    EXPECT_TRUE(driver->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(driver->Z8Link, nullptr);
}

TEST_F(PortManagement, ASelectionThatCannotWriteLogsError19AndChangesNothing) {
    Start("ComPort=COM255");
    std::filesystem::remove(dir.file("drvorvel.ini"));
    std::filesystem::create_directory(dir.file("drvorvel.ini"));  // cannot be written as a file
    const auto queued = driver->Z8Link->NextSequenceNumber();
    driver->SelectPort("COM5");
    EXPECT_EQ(dir.read("error.txt"), std::string("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                                                 "19\r\n"));
    EXPECT_EQ(driver->State().shared.ComPort(), "COM255");
    EXPECT_EQ(driver->Z8Link->NextSequenceNumber(), queued);  // no report queued
    EXPECT_TRUE(Reports().empty());
}

// A pseudo-terminal taken away and given back under the same [ports] link while frames flow.
class PortRecovery : public PortManagement {
protected:
    std::string link() const { return dir.file("adapter"); }
    void Relink(const Pty& pty) const {
        std::filesystem::remove(link());
        std::filesystem::create_symlink(pty.path, link());
    }
    int EventsAtServer(int object) const {
        int n = 0;
        for (const auto& f : server->Frames()) {
            if (f.packet && f.packet->code == drv::z8::kStationEvent &&
                drv::z8::GetU32(f.packet->payload.data()) == static_cast<std::uint32_t>(40000 + object))
                ++n;
        }
        return n;
    }
    std::string Log() const { return view.LogText(); }
};

TEST_F(PortRecovery, FramesBeforeTheLossAndAfterTheRecoveryReachTheServer) {
    auto first = std::make_unique<Pty>();
    Relink(*first);
    StderrCapture capture(dir.file("stderr.txt"));
    Start("ComPort=COM3", {{3, link()}});
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen());
    Send(*first, Frame4(101));
    ASSERT_TRUE(WaitWithEvents([&] { return EventsAtServer(101) == 1; }));

    first.reset();  // unplugged
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->Reopening(); }));
    EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
    ExpectRunning(true);
    EXPECT_EQ(ReportsWhen(1), (std::vector<Report>{{"COM3", false}}));

    Pty second;
    Relink(second);  // plugged in again: a new device behind the same link
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->IsPortOpen(); }));
    EXPECT_FALSE(driver->CommPortDriver1->Reopening());
    EXPECT_EQ(ReportsWhen(2), (std::vector<Report>{{"COM3", false}, {"COM3", true}}));
    Send(second, Frame4(102));
    ASSERT_TRUE(WaitWithEvents([&] { return EventsAtServer(102) == 1; }));
    EXPECT_EQ(EventsAtServer(101), 1);

    EXPECT_NE(Log().find("Порт COM3: устройство отключено"), std::string::npos) << Log();
    EXPECT_NE(Log().find("Порт COM3: устройство снова на месте"), std::string::npos) << Log();
    const std::string err = drvtest::ReadFile(dir.file("stderr.txt"));
    EXPECT_NE(err.find("port COM3: the device went away"), std::string::npos) << err;
    EXPECT_NE(err.find("port COM3: the device is back"), std::string::npos) << err;
}

TEST_F(PortRecovery, AHeldDeviceIsNotReopenedAndItsHolderIsNamedAFreeOneIsReopened) {
    auto first = std::make_unique<Pty>();
    Relink(*first);
    StderrCapture capture(dir.file("stderr.txt"));
    Start("ComPort=COM3", {{3, link()}});
    first.reset();
    std::filesystem::remove(link());  // gone with the device: the next pseudo-terminal may reuse its number
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->Reopening(); }));
    Pty second;
    {
        OtherHolder other(second.path);  // another program has the device that comes back under the name
        Relink(second);
        const std::string named = "held by process " + std::to_string(other.pid());
        ASSERT_TRUE(WaitWithEvents([&] {
            return drvtest::ReadFile(dir.file("stderr.txt")).find(named) != std::string::npos;
        })) << drvtest::ReadFile(dir.file("stderr.txt"));
        EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
    }
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->IsPortOpen(); }));  // let go: taken next try
    Send(second, Frame4(103));
    ASSERT_TRUE(WaitWithEvents([&] { return EventsAtServer(103) == 1; }));
}

TEST_F(PortRecovery, APortMissingAtStartupIsOpenedWhenItsDeviceComes) {
    Start("ComPort=COM3", {{3, link()}}, {"Порт уже занят. Смените его."});
    ExpectRunning(false);
    ASSERT_TRUE(driver->CommPortDriver1->Reopening());
    Pty late;
    Relink(late);
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->IsPortOpen(); }));
    ExpectRunning(true);
    Send(late, Frame4(104));
    ASSERT_TRUE(WaitWithEvents([&] { return EventsAtServer(104) == 1; }));
    EXPECT_EQ(ReportsWhen(1), (std::vector<Report>{{"COM3", true}}));
}

TEST_F(PortRecovery, AStopDuringTheOutageEndsTheAttempts) {
    auto first = std::make_unique<Pty>();
    Relink(*first);
    Start("ComPort=COM3", {{3, link()}});
    first.reset();
    ASSERT_TRUE(WaitWithEvents([&] { return driver->CommPortDriver1->Reopening(); }));
    // The rescan stays refused during the outage: it would take the name the attempts reopen.
    driver->RescanPorts("");
    EXPECT_TRUE(view.ports.empty());
    driver->StopPort(true);
    ExpectRunning(false);
    EXPECT_FALSE(driver->CommPortDriver1->Reopening());

    Pty second;
    Relink(second);
    // Several reopen intervals pass; nothing opens the port the operator stopped.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    ASSERT_TRUE(WaitWithEvents([&] { return ticks >= 5; }));
    EXPECT_FALSE(driver->CommPortDriver1->IsPortOpen());
    EXPECT_EQ(ReportsWhen(2), (std::vector<Report>{{"COM3", false}, {"COM3", false}}));
}
