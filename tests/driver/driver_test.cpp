// The driver object's startup and its handling of station deliveries (no window), with the real files in a
// temporary working directory and no Z8 server listening.
#include "driver/driver.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <memory>

#include "core/spoolfs.h"
#include "platform/faults.h"
#include "platform/uniquefd.h"
#include "serial/CPDrv.h"
#include "tests/support/coreapp.h"
#include "tests/support/tempdir.h"

using drvtest::Bytes;

namespace {

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }

    // Starts the driver in the temporary directory with the given [main] lines; the Z8 server address points at
    // a port nobody listens on, so events spool.
    void Start(const std::string& mainSection, drv::DateTimeParts now = {2026, 12, 8, 12, 30, 15, 250}) {
        dir.write("drvorvel.ini", "[main]\n" + mainSection + "\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock.wall = [now] { return drv::EncodeDateTime(now); };
        Create(options);
    }

    void Create(const drv::DriverOptions& options) {
        driver = std::make_unique<drv::Driver>(&view, options);
        driver->Start();
    }

    void Deliver(const std::vector<std::uint8_t>& bytes) {
        driver->CommPortDriver1ReceivePacket(nullptr, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    void TearDown() override { driver.reset(); }

    drvtest::TempDir dir;
    drvtest::RecordingView view;
    std::unique_ptr<drv::Driver> driver;
};

const std::vector<std::uint8_t> kFrame4 = Bytes({0x13, 0x22, 0x0A, 0x05});
const std::vector<std::uint8_t> kEvent4 = Bytes(
    {0x20, 0x00, 0x00, 0x03, 0x62, 0x9F, 0x00, 0x00, 0x02, 0x30, 0x41, 0, 0, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x29});

}  // namespace

TEST_F(DriverTest, StartupWithoutConfigurationUsesDefaults) {
    drv::DriverOptions options;
    options.workingDirectory = dir.path();
    dir.write("drvorvel.ini", "[ServerHost]\nPort=1\n");
    Create(options);
    const auto& s = driver->State();
    EXPECT_EQ(s.settings.ComPort, "COM255");
    EXPECT_EQ(s.shared.ComPort(), "COM255");
    EXPECT_EQ(s.settings.FirstNumber, 4);
    EXPECT_TRUE(s.settings.SendZ8);
    EXPECT_FALSE(s.settings.SendZ7);
    EXPECT_EQ(s.WorkingDirectory, dir.path());
    EXPECT_TRUE(s.Z7ReceiveBuffer.has_value());
    EXPECT_TRUE(driver->Started());       // what the window shows as the start's date and time
    EXPECT_FALSE(driver->PortRunning());  // no port configured: the port controls start stopped
    EXPECT_FALSE(view.running);
    const int password = std::stoi(s.ClosePassword);
    EXPECT_GE(password, 10000);
    EXPECT_LE(password, 99998);
    driver->FormDestroy(driver.get());
    EXPECT_FALSE(driver->State().Z7ReceiveBuffer.has_value());
}

TEST_F(DriverTest, EventsSpoolWhileTheLinkIsDown) {
    Start("");
    Deliver(kFrame4);
    Deliver(Bytes({0xE5, 0x01, 0xC3, 0x07, 0x09}));
    const auto files = dir.list(".ob8");
    ASSERT_EQ(files, (std::vector<std::string>{"2BE1C0D2.ob8", "2BE1C0D3.ob8"}));
    EXPECT_EQ(drvtest::ReadBytes(dir.file(files[0])), kEvent4);
    const auto second = drvtest::ReadBytes(dir.file(files[1]));
    ASSERT_EQ(second.size(), 24u);
    EXPECT_EQ(second[4 + 9], 0x07);
    EXPECT_EQ(second[4 + 10], 0x09);
}

TEST_F(DriverTest, SpoolDirectoryPrefixAndNotSendToDisk) {
    Start("PathForSoob=" + dir.path() + "/spool-\nNotSendToDiskZ8=0");
    Deliver(kFrame4);
    EXPECT_EQ(dir.list(".ob8"), (std::vector<std::string>{"spool-2BE1C0D2.ob8"}));
    driver.reset();
    drvtest::TempDir other;
    dir.write("drvorvel.ini", "");
    Start("NotSendToDiskZ8=1");
    Deliver(kFrame4);
    EXPECT_EQ(dir.list(".ob8").size(), 1u);  // only the file of the first run
}

TEST_F(DriverTest, IgnoreListIsReadForEveryFrame) {
    Start("");
    dir.write("ignore.ini", "[object]\n40802=1\n");
    Deliver(kFrame4);
    EXPECT_TRUE(dir.list(".ob8").empty());
    dir.write("ignore.ini", "[object]\n802=1\n");
    Deliver(kFrame4);
    EXPECT_EQ(dir.list(".ob8").size(), 1u);
}

TEST_F(DriverTest, SendZ8OffDecodesAndCapturesButSendsNothing) {
    Start("SendZ8=0\nLog=1");
    Deliver(kFrame4);
    Deliver(Bytes({0x13, 0x22}));
    Deliver({});
    EXPECT_TRUE(dir.list(".ob8").empty());
    EXPECT_EQ(dir.read("drvorvel.log"), std::string("\x13\x22\x0A\x05\x13\x22", 6));
    EXPECT_EQ(driver->State().CurrentEvent[0], 0x62);  // decoded all the same
    EXPECT_EQ(driver->Z8Link, nullptr);
}

TEST_F(DriverTest, UnwritableCaptureDoesNotCostTheEvents) {
    Start("Log=1");
    ASSERT_EQ(::mkdir(dir.file("drvorvel.log").c_str(), 0755), 0);  // a directory cannot be appended to
    Deliver(kFrame4);
    EXPECT_EQ(dir.list(".ob8").size(), 1u);
}

TEST_F(DriverTest, FramesCutByAFullPacketAreCompletedByTheNext) {
    // A burst written into the station's line at once: a full packet cuts a frame, the leftover completes it.
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const drv::UniqueFd masterFd(master);
    const std::string slavePath = ::ptsname(master);
    ::close(slave);
    Start("ComPort=COM1\n[ports]\nCOM1=" + slavePath);
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen());
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 60; ++i) {
        for (int b : {0x01, i, 0x21, i, 0x77}) burst.push_back(static_cast<std::uint8_t>(b));
    }
    ASSERT_EQ(::write(master, burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
    ASSERT_TRUE(drvtest::WaitWithEvents([&] { return dir.list(".ob8").size() >= 60; }));
    const auto files = dir.list(".ob8");
    ASSERT_EQ(files.size(), 60u);
    std::vector<int> objects;
    for (const auto& f : files) {
        const auto b = drvtest::ReadBytes(dir.file(f));
        ASSERT_EQ(b.size(), 24u);
        objects.push_back(b[4] | (b[5] << 8) | (b[6] << 16));
        EXPECT_EQ(b[4 + 9], objects.back() - 40256);
    }
    for (int i = 0; i < 60; ++i) EXPECT_EQ(objects[i], 40256 + i);
}

TEST_F(DriverTest, LogErrorAppendsNumberedEntries) {
    Start("");
    driver->LogError(19);
    EXPECT_EQ(dir.read("error.txt"), std::string("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                                                 "19\r\n"));
}

TEST_F(DriverTest, AFaultInATimerTickEndsOnlyThatTick) {
    const unsigned long before = drv::FaultCount();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        if (ticks == 1) throw std::runtime_error("bad tick");
        QCoreApplication::quit();
    });
    timer.start(1);
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(drv::FaultCount(), before + 1);
}

namespace {

// The system's file operations, except that writing a spool file fails with `error` while it is set.
class FaultySpoolFs : public drv::SpoolFs {
public:
    int WriteDurably(const std::string& path, const std::vector<std::uint8_t>& bytes) override {
        if (error == 0) return drv::SpoolFs::WriteDurably(path, bytes);
        ++failed;
        return error;
    }
    int error = 0;
    int failed = 0;
};

}  // namespace

TEST_F(DriverTest, EventsThatCannotBeSpooledWaitInMemoryAndAreWrittenInOrderOnceTheSpoolWorks) {
    // recovers: the spool works again just before the stop, so that the stop's last try writes the waiting event.
    const struct {
        const char* name;
        int error;
        bool recovers;
    } cases[] = {{"full disk", ENOSPC, true},
                 {"read-only", EROFS, false},
                 {"missing", ENOENT, false},
                 {"failed flush", EIO, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drvtest::TempDir d;
        auto fs = std::make_shared<FaultySpoolFs>();
        fs->error = c.error;
        d.write("drvorvel.ini", "[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
        drv::DriverOptions options;
        options.workingDirectory = d.path();
        options.clock.wall = [] { return drv::EncodeDateTime({2026, 12, 8, 12, 30, 15, 250}); };
        options.spoolFs = fs;
        options.spoolRetryMs = 10;
        drvtest::RecordingView shown;
        auto f = std::make_unique<drv::Driver>(&shown, options);
        f->Start();
        ASSERT_TRUE(drvtest::WaitWithEvents([&] { return !shown.messages.empty(); }));  // the startup warning
        EXPECT_NE(shown.messages.front().find(d.path()), std::string::npos) << shown.messages.front();

        const std::vector<std::vector<std::uint8_t>> frames = {
            Bytes({0x13, 0x01, 0x0A, 0x05}), Bytes({0x13, 0x02, 0x0A, 0x05}), Bytes({0x13, 0x03, 0x0A, 0x05})};
        for (const auto& frame : frames)
            f->CommPortDriver1ReceivePacket(nullptr, frame.data(), static_cast<std::uint32_t>(frame.size()));
        EXPECT_EQ(f->SpoolBacklogSize(), 3u);
        EXPECT_TRUE(d.list(".ob8").empty());
        const int failedBefore = fs->failed;
        ASSERT_TRUE(drvtest::WaitWithEvents([&] { return fs->failed >= failedBefore + 2; }));  // retries that fail
        testing::internal::CaptureStderr();
        fs->error = 0;
        const bool emptied = drvtest::WaitWithEvents([&] { return f->SpoolBacklogSize() == 0; });
        const std::string recovered = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(emptied);
        EXPECT_NE(recovered.find("the 3 events kept in memory are spooled\n"), std::string::npos) << recovered;
        const auto files = d.list(".ob8");
        ASSERT_EQ(files, (std::vector<std::string>{"2BE1C0D2.ob8", "2BE1C0D3.ob8", "2BE1C0D4.ob8"}));
        for (std::size_t i = 0; i < files.size(); ++i)  // objects 40001, 40002, 40003 in that order
            EXPECT_EQ(drvtest::ReadBytes(d.file(files[i]))[4], 0x41 + i);
        EXPECT_EQ(d.list(".part"), std::vector<std::string>{});
        // At the stop the waiting event is tried once more; one that still cannot be written (nor kept in the
        // rescue directory, on the same failing disk) is said to be lost, not dropped unsaid. No event loop runs in
        // between: only the stop's own try can write it.
        fs->error = c.error;
        f->CommPortDriver1ReceivePacket(nullptr, frames[0].data(), static_cast<std::uint32_t>(frames[0].size()));
        ASSERT_EQ(f->SpoolBacklogSize(), 1u);
        if (c.recovers) fs->error = 0;
        testing::internal::CaptureStderr();
        f.reset();
        const bool saidLost =
            testing::internal::GetCapturedStderr().find("1 events are lost with this stop") != std::string::npos;
        EXPECT_EQ(saidLost, !c.recovers);
        EXPECT_EQ(d.list(".ob8").size(), c.recovers ? 4u : 3u);
    }
}

TEST_F(DriverTest, ASpoolNameWithoutStampAndAnUnwritableErrorLogCostNoEvent) {
    dir.write("drvorvel.ini", "[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
    ASSERT_EQ(::mkdir(dir.file("error.txt").c_str(), 0755), 0);  // LogError(11) cannot append
    drv::DriverOptions options;
    options.workingDirectory = dir.path();
    options.clock.wall = [] { return std::nan(""); };
    Create(options);
    Deliver(kFrame4);
    Deliver(kFrame4);
    EXPECT_EQ(dir.list(".ob8"), (std::vector<std::string>{"0.ob8", "1.ob8"}));
    EXPECT_EQ(drvtest::ReadBytes(dir.file("0.ob8")), kEvent4);
}

TEST_F(DriverTest, AFrameCutByALostDeviceIsNotCompletedByTheNextBytes) {
    Start("");
    std::vector<std::uint8_t> full;
    for (int i = 0; i < 51; ++i) {
        for (int b : {0x01, i, 0x21, i, 0x77}) full.push_back(static_cast<std::uint8_t>(b));
    }
    full.push_back(0x01);  // the first byte of a frame whose rest the lost device takes with it
    ASSERT_EQ(full.size(), 256u);
    Deliver(full);
    driver->CommPortDriver1DeviceChange(nullptr, false);
    Deliver(kFrame4);
    const auto files = dir.list(".ob8");
    ASSERT_EQ(files.size(), 52u);
    EXPECT_EQ(drvtest::ReadBytes(dir.file(files.back())), kEvent4);
}
