// The Linux device layer and the component against real pseudo-terminals; COM names mapped through [ports].
#include "serial/linuxserial.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/tick.h"
#include "platform/uniquefd.h"
#include "serial/CPDrv.h"
#include "serial/portnames.h"
#include "serial/termios2.h"
#include "tests/serial/fakedevice.h"
#include "tests/support/tempdir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool WaitUntil(const std::function<bool()>& condition, bool runEvents = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        if (runEvents) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        } else {
            drv::SleepMs(2);
        }
    }
    return condition();
}

TEST(SerialHolderCheck, SaysWhatKeepsOtherUsersProcessesFromIt) {
    struct Case {
        const char* procOptions;
        int unreadable;
        const char* expected;  // a part of the line; nullptr: no line
    };
    const Case cases[] = {
        {"rw", 0, nullptr},
        {"rw,hidepid=off", 0, nullptr},
        {"rw,nosuid,hidepid=invisible,subset=pid", 0, "/proc is mounted with hidepid=invisible"},
        {"rw", 1, "what 1 process has open (/proc/<pid>/fd) is not readable to this user (EACCES)"},
        {"rw,hidepid=2", 12, "hidepid=2, which hides them or what they have open; what 12 processes have open"},
    };
    for (const Case& c : cases) {
        const std::string line = drv::HolderCheckBlindSpot(c.procOptions, c.unreadable);
        if (c.expected == nullptr) {
            EXPECT_EQ(line, "") << c.procOptions;
            continue;
        }
        EXPECT_TRUE(line.starts_with("drvorvel: the check of who holds a device cannot see processes of other "
                                     "users: ") &&
                    line.ends_with("\n"))
            << line;
        EXPECT_NE(line.find(c.expected), std::string::npos) << line;
    }
}

TEST(PortNames, ComNamesMapThroughThePortsSection) {
    drvtest::TempDir dir;
    const std::string ini = dir.file("drvorvel.ini");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\COM1", ini), "/dev/ttyS0");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\com12", ini), "/dev/ttyS11");
    dir.write("drvorvel.ini", "[main]\nComPort=COM3\n[Ports]\ncom3 = /dev/ttyUSB0\nCOM4=\n");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\COM3", ini), "/dev/ttyUSB0");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\Com03", ini), "/dev/ttyUSB0");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\COM4", ini), "/dev/ttyS3");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\/dev/ttyACM0", ini), "/dev/ttyACM0");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\COM0", ini), "COM0");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\COM3x", ini), "COM3x");
    EXPECT_EQ(drv::DevicePathForPort("\\\\.\\", ini), "");
    EXPECT_EQ(drv::DevicePathForPort("/dev/ttyUSB1", ini), "/dev/ttyUSB1");
    EXPECT_EQ(drv::ComPortNumberOf("\\\\.\\COM32"), 32u);
    EXPECT_FALSE(drv::ComPortNumberOf("COM3").has_value());
    EXPECT_FALSE(drv::ComPortNumberOf("\\\\.\\COM99999999999").has_value());
}

// One pseudo-terminal pair; the test writes at the master, the driver opens the slave as COM7.
drv::Dcb PtyTestLine() {
    drv::Dcb d;
    d.BaudRate = 9600;
    d.ByteSize = 8;
    return d;
}

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        drvtest::EnsureCoreApplication();
        int m = -1;
        int s = -1;
        ASSERT_EQ(::openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master.reset(m);
        slavePath = ::ptsname(m);
        ::close(s);
        dir.write("drvorvel.ini", "[ports]\nCOM7=" + slavePath + "\n");
    }

    std::unique_ptr<drv::LinuxSerialDevice> NewDevice() {
        return std::make_unique<drv::LinuxSerialDevice>([this] { return dir.file("drvorvel.ini"); });
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(::write(master.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    drv::Dcb Line(std::uint32_t rate) {
        drv::Dcb d;
        d.BaudRate = rate;
        d.ByteSize = 8;
        return d;
    }

    drvtest::TempDir dir;
    drv::UniqueFd master;
    std::string slavePath;
};

TEST_F(PtyTest, OpenIsExclusiveEvenForRootAndEndsWithClose) {
    auto first = NewDevice();
    ASSERT_TRUE(first->Open("\\\\.\\COM7")) << std::strerror(first->LastError());
    EXPECT_EQ(first->DevicePath(), slavePath);

    auto second = NewDevice();
    EXPECT_FALSE(second->Open("\\\\.\\COM7"));
    EXPECT_EQ(second->LastError(), EBUSY);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        drv::LinuxSerialDevice other([this] { return dir.file("drvorvel.ini"); });
        ::_exit(other.Open("\\\\.\\COM7") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(drv::RetryEintr([&] { return ::waitpid(child, &status, 0); }), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened a held port";

    first->Close();
    EXPECT_TRUE(second->Open("\\\\.\\COM7")) << std::strerror(second->LastError());
}

// The peak resident size of this process, in KiB (VmHWM).
long PeakRssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// Anyone may write the lock directory: what sits at the device's lock path is read as untrusted input. Only a lock
// file naming a live process keeps the device closed (and names it); a FIFO, a directory, a huge file, a link to an
// endless device or garbage neither blocks the open nor costs memory, and a stale lock is taken over.
TEST_F(PtyTest, WhatSitsAtTheLockPathDecidesNothingButALiveLock) {
    const std::string lock = "/run/lock/LCK.." + std::string("pts_") + slavePath.substr(slavePath.rfind('/') + 1);
    if (::access("/run/lock", W_OK) != 0) GTEST_SKIP() << "no lock directory to write to";
    const pid_t stale = ::fork();
    if (stale == 0) ::_exit(0);
    ASSERT_EQ(drv::RetryEintr([&] { return ::waitpid(stale, nullptr, 0); }), stale);
    const auto pidText = [](pid_t pid) {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
        return std::string(text);
    };
    struct Case {
        const char* what;
        std::function<void()> make;
        pid_t holder;  // 0: the device opens
    };
    const Case cases[] = {
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0); }, 0},
        {"directory", [&] { ASSERT_EQ(::mkdir(lock.c_str(), 0777), 0); }, 0},
        {"1 GB sparse file",
         [&] {
             drv::UniqueFd f(::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
             ASSERT_EQ(::ftruncate(f.get(), 1LL << 30), 0);
         },
         0},
        {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", lock.c_str()), 0); }, 0},
        {"garbage", [&] { std::ofstream(lock) << "no pid\x01\xff here"; }, 0},
        {"dead pid", [&] { std::ofstream(lock) << pidText(stale); }, 0},
        {"live pid", [&] { std::ofstream(lock) << pidText(::getppid()); }, ::getppid()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        const long peakBefore = PeakRssKiB();
        auto dev = NewDevice();
        EXPECT_EQ(dev->Open("\\\\.\\COM7"), c.holder == 0) << std::strerror(dev->LastError());
        EXPECT_EQ(dev->HolderPid(), c.holder);
        EXPECT_LT(PeakRssKiB() - peakBefore, 8 * 1024);
        if (c.holder == 0) {
            // The device's own lock where the name could be taken (not over a directory), with this pid.
            struct stat st {};
            ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
            if (!S_ISDIR(st.st_mode)) {
                EXPECT_EQ(drvtest::ReadFile(lock), pidText(::getpid()));
            }
            dev->Close();
        }
        ::unlink(lock.c_str());
        ::rmdir(lock.c_str());
    }
}

TEST_F(PtyTest, AClosedFarEndIsAVanishedDevice) {
    auto dev = NewDevice();
    ASSERT_TRUE(dev->Open("\\\\.\\COM7"));
    EXPECT_FALSE(dev->Vanished());
    master.reset();
    EXPECT_TRUE(dev->Vanished());
}

TEST_F(PtyTest, MissingOrNonTtyDevicesDoNotOpen) {
    auto dev = NewDevice();
    dir.write("drvorvel.ini", "[ports]\nCOM7=" + dir.file("nothing") + "\nCOM8=" + dir.file("plain") + "\n");
    dir.write("plain", "x");
    EXPECT_FALSE(dev->Open("\\\\.\\COM7"));
    EXPECT_EQ(dev->LastError(), ENOENT);
    EXPECT_FALSE(dev->Open("\\\\.\\COM8"));
    EXPECT_EQ(dev->LastError(), ENOTTY);
    EXPECT_FALSE(dev->Open("\\\\.\\"));
}

TEST_F(PtyTest, LineSettingsReachTheTty) {
    auto dev = NewDevice();
    ASSERT_TRUE(dev->Open("\\\\.\\COM7"));
    drv::Dcb d = Line(9600);
    d.StopBits = drv::kStopBitsTwo;
    d.fRtsControl = drv::kRtsControlToggle;
    d.fDtrControl = drv::kDtrControlEnable;
    ASSERT_TRUE(dev->SetCommState(d)) << std::strerror(dev->LastError());
    termios t{};
    ASSERT_EQ(::tcgetattr(dev->Fd(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & ICANON);
    EXPECT_FALSE(t.c_lflag & ECHO);
    EXPECT_FALSE(t.c_iflag & IXON);

    // A pseudo-terminal always keeps 8 bits without parity: what it does not take is refused, not ignored.
    d.ByteSize = 7;
    d.Parity = drv::kParityEven;
    EXPECT_FALSE(dev->SetCommState(d));
    EXPECT_EQ(dev->LastError(), EINVAL);

    d = Line(12345);  // no termios constant
    d.fOutX = d.fInX = 1;
    d.fRtsControl = drv::kRtsControlHandshake;
    ASSERT_TRUE(dev->SetCommState(d)) << std::strerror(dev->LastError());
    EXPECT_EQ(drv::ProgrammedRate(dev->Fd()), 12345u);
    ASSERT_EQ(::tcgetattr(dev->Fd(), &t), 0);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    ASSERT_TRUE(dev->SetCommState(Line(9600)));  // back to a standard rate after an arbitrary one
    EXPECT_EQ(drv::ProgrammedRate(dev->Fd()), 9600u);
    ASSERT_EQ(::tcgetattr(dev->Fd(), &t), 0);
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B9600));

    d = Line(9600);
    d.StopBits = drv::kStopBitsOneAndHalf;
    EXPECT_FALSE(dev->SetCommState(d));
    d = Line(0);
    EXPECT_FALSE(dev->SetCommState(d));
    d = Line(9600);
    d.ByteSize = 9;
    EXPECT_FALSE(dev->SetCommState(d));
    EXPECT_FALSE(dev->SetDtr(true));  // a pseudo-terminal has no modem lines
}

TEST_F(PtyTest, WaitingBytesAreCountedReadAndPurged) {
    auto dev = NewDevice();
    ASSERT_TRUE(dev->Open("\\\\.\\COM7"));
    ASSERT_TRUE(dev->SetCommState(Line(9600)));
    std::uint8_t buf[16];
    EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
    Send({0x13, 0x11, 0x0A, 0x05, 0x0D, 0x03});  // control characters pass unchanged in raw mode
    ASSERT_TRUE(WaitUntil([&] { return dev->BytesWaiting() == 6u; }));
    ASSERT_EQ(dev->Read(buf, 4), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x13, 0x11, 0x0A, 0x05}));
    EXPECT_EQ(dev->BytesWaiting(), 2u);
    ASSERT_TRUE(dev->PurgeComm(true, true));
    EXPECT_EQ(dev->BytesWaiting(), 0u);
}

TEST_F(PtyTest, ComponentDeliversPacketsWithTheirTiming) {
    TCommPortDriver port(nullptr, NewDevice());
    port.SetPortName("\\\\.\\COM7");
    port.SetBaudRate(brCustom);
    port.SetHwFlow(hfRTSTOG);
    port.SetPacketSize(256);
    port.SetPacketTimeout(40);
    port.SetPacketMode(pmPass);
    port.SetPollingDelay(10);
    std::vector<Bytes> packets;
    std::vector<std::uint32_t> arrivals;
    port.SetOnReceivePacket([&](QObject*, const std::uint8_t* p, std::uint32_t n) {
        packets.emplace_back(p, p + n);
        arrivals.push_back(drv::GetTickCount());
    });
    ASSERT_TRUE(port.OpenPort());
    EXPECT_TRUE(port.OpenPort());
    // The device's readiness drives reception: no timer runs while the line is quiet.
    EXPECT_TRUE(port.WatchingDevice());
    EXPECT_FALSE(port.PollTimerActive());
    EXPECT_FALSE(port.PacketTimerActive());
    TCommPortDriver other(nullptr, NewDevice());
    other.SetPortName("\\\\.\\COM7");
    EXPECT_FALSE(other.OpenPort());
    EXPECT_FALSE(other.PollTimerActive());

    // A lone frame arrives as one short packet, more than 40 ms after it was written.
    const std::uint32_t sent = drv::GetTickCount();
    Send({0x13, 0x22, 0x0A, 0x05});
    ASSERT_TRUE(WaitUntil([&] { return !packets.empty(); }, true));
    EXPECT_EQ(packets[0], (Bytes{0x13, 0x22, 0x0A, 0x05}));
    EXPECT_GT(drv::TicksSince(arrivals[0], sent), 40u);

    // 600 bytes at once: two full packets in one poll, then the 88 left over after the time-out.
    Bytes burst(600);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<std::uint8_t>(i * 7);
    packets.clear();
    arrivals.clear();
    Send(burst);
    ASSERT_TRUE(WaitUntil([&] { return packets.size() >= 3; }, true));
    ASSERT_EQ(packets.size(), 3u);
    Bytes joined;
    for (const auto& p : packets) joined.insert(joined.end(), p.begin(), p.end());
    EXPECT_EQ(joined, burst);
    EXPECT_EQ(packets[2].size(), 88u);

    port.ClosePort();
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_FALSE(port.PollTimerActive());
    EXPECT_TRUE(other.OpenPort());
}

TEST_F(PtyTest, ChunksKeepTheirArrivalTimesWhileTheOwningThreadIsHeldUp) {
    TCommPortDriver port(nullptr, NewDevice());
    port.SetPortName("\\\\.\\COM7");
    port.SetPacketSize(256);
    port.SetPacketTimeout(40);
    port.SetPacketMode(pmPass);
    std::vector<Bytes> packets;
    std::vector<std::vector<TChunkMark>> chunks;
    port.SetOnReceivePacket([&](QObject*, const std::uint8_t* p, std::uint32_t n) {
        packets.emplace_back(p, p + n);
        chunks.push_back(port.PacketChunks());
    });
    ASSERT_TRUE(port.OpenPort());
    EXPECT_TRUE(port.ReadingOnItsOwnThread());
    // The first two bytes of a frame are taken; then the owning thread is held for 250 ms, and the rest comes
    // 10 ms into the hold. The silence before it is that of the line, not of the hold.
    Send({0x13, 0x22});
    ASSERT_TRUE(WaitUntil([&] { return port.BytesHeld() == 2; }, true));
    constexpr std::uint32_t kHoldMs = 250;
    const std::uint32_t heldAt = drv::GetTickCount();
    drv::SleepMs(10);
    Send({0x0A, 0x05});
    while (drv::TicksSince(drv::GetTickCount(), heldAt) < kHoldMs) drv::SleepMs(5);
    ASSERT_TRUE(WaitUntil([&] { return !packets.empty(); }, true));
    ASSERT_EQ(packets[0], (Bytes{0x13, 0x22, 0x0A, 0x05}));
    ASSERT_EQ(chunks[0].size(), 2u);
    EXPECT_EQ(chunks[0][0].offset, 0u);
    EXPECT_EQ(chunks[0][0].silenceMs, TCommPortDriver::kSilenceUnknown);
    EXPECT_EQ(chunks[0][1].offset, 2u);
    EXPECT_LT(chunks[0][1].silenceMs, kHoldMs - 10);
    EXPECT_TRUE(port.PacketChunks().empty());  // outside the event
    port.ClosePort();                          // the reader ends with the port
    EXPECT_FALSE(port.ReadingOnItsOwnThread());
}

TEST(Relay, APseudoTerminalThatSocatHoldsBothEndsOfIsOpenedAndCarriesTheBytes) {
    if (::access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed (scripts/setup installs it)";
    drvtest::TempDir dir;
    // The relay's far side: a TCP peer on loopback.
    drv::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string link = dir.file("ttyStation");
    const pid_t socat = ::fork();
    if (socat == 0) {
        const std::string pty = "PTY,link=" + link + ",raw,echo=0";
        const std::string tcp = "TCP:127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
        ::execl("/usr/bin/socat", "socat", pty.c_str(), tcp.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    drv::UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(WaitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }));
    dir.write("drvorvel.ini", "[ports]\nCOM9=" + link + "\n");
    drv::LinuxSerialDevice dev([&] { return dir.file("drvorvel.ini"); });
    EXPECT_EQ(drv::FindDeviceHolder(link), 0);
    ASSERT_TRUE(dev.Open("\\\\.\\COM9")) << std::strerror(dev.LastError());
    ASSERT_TRUE(dev.SetCommState(PtyTestLine()));
    const Bytes frames{0x13, 0x22, 0x0A, 0x05, 0xE5, 0x01, 0xC3, 0x07, 0x09};
    ASSERT_EQ(::write(peer.get(), frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    Bytes got;
    ASSERT_TRUE(WaitUntil([&] {
        std::uint8_t buf[64];
        const auto r = dev.Read(buf, sizeof buf);
        if (r) got.insert(got.end(), buf, buf + *r);
        return got.size() >= frames.size();
    }));
    EXPECT_EQ(got, frames);
    dev.Close();
    ::kill(socat, SIGTERM);
    ::waitpid(socat, nullptr, 0);
}

}  // namespace
