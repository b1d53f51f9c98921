// The driver object as the Z8 link's host (no window): events from the station's frames to a Z8 server on loopback,
// the link log and indicator, undelivered events kept in the spool, and a driver that ends cleanly whatever the
// link is doing.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <sstream>

#include "core/spoolfs.h"
#include "driver/driver.h"
#include "tests/support/coreapp.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "z8link/Unit7.h"
#include "z8link/z8server.h"

using namespace drv::z8;

using drvtest::WaitWithEvents;

namespace {

// A 4-byte station frame for raw object number `object` (below 4096), event code 0x0A, b3 5.
Bytes Frame4(int object) {
    return Bytes{static_cast<std::uint8_t>(0x10 | ((object >> 8) & 0x0F)), static_cast<std::uint8_t>(object & 0xFF),
                 0x0A, 0x05};
}

int ObjectOf(const Bytes& payload) { return static_cast<int>(GetU32(payload.data())); }

class Z8Host : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }
    void TearDown() override { driver.reset(); }

    void Start(int port, const std::string& mainSection = "", drv::Z8LinkTimings timings = Timings()) {
        dir.write("drvorvel.ini", "[main]\nPathForSoob=" + dir.path() + "/\n" + mainSection +
                                      "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock.wall = [] { return drv::EncodeDateTime({2026, 12, 8, 12, 30, 15, 250}); };
        options.z8Timings = std::make_shared<drv::Z8LinkTimings>(timings);
        options.spoolFs = spoolFs;
        options.durableAfterMs = durableAfterMs;
        options.durableCheckMs = 20;
        driver = std::make_unique<drv::Driver>(&view, options);
        driver->Start();
    }

    static drv::Z8LinkTimings Timings() {
        drv::Z8LinkTimings t;
        t.attemptIntervalMs = 200;
        t.readTimeoutMs = 300;
        t.replyDeadlineMs = 1000;
        t.pollIntervalMs = 50;
        return t;
    }

    void Deliver(const Bytes& bytes) {
        driver->CommPortDriver1ReceivePacket(nullptr, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    std::string Log() const { return view.LogText(); }

    std::set<int> SpooledObjects() const {
        std::set<int> objects;
        for (const auto& name : dir.list(".ob8")) {
            const auto bytes = drvtest::ReadBytes(dir.file(name));
            EXPECT_EQ(bytes.size(), 24u) << name;
            if (bytes.size() != 24u) continue;
            EXPECT_EQ(GetU32(bytes.data()), kStationEvent);
            objects.insert(ObjectOf(Bytes(bytes.begin() + 4, bytes.end())));
        }
        return objects;
    }

    drvtest::TempDir dir;
    drvtest::RecordingView view;
    std::unique_ptr<drv::Driver> driver;
    std::shared_ptr<drv::SpoolFs> spoolFs;
    int durableAfterMs = 2000;
};

// The system's file operations, noting the object of every spool file written.
class RecordingSpoolFs : public drv::SpoolFs {
public:
    int WriteDurably(const std::string& path, const std::vector<std::uint8_t>& bytes) override {
        if (bytes.size() == 24) written.push_back(ObjectOf(Bytes(bytes.begin() + 4, bytes.end())));
        return drv::SpoolFs::WriteDurably(path, bytes);
    }
    std::vector<int> written;  // main thread only
};

}  // namespace

TEST_F(Z8Host, EventsReachTheServerAndTheLogAndIndicatorFollowTheLink) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true, .pollAfterHello = true});
    Start(server.Port());
    ASSERT_TRUE(WaitWithEvents(
        [&] { return driver->Z8LinkConnected() && Log().find("Соединение установлено.") != std::string::npos; }));
    // Each line: the date, the time, one space, the text.
    EXPECT_EQ(Log(), "08.12.2026 12:30:15 Соединение...\n08.12.2026 12:30:15 Соединение установлено.");
    EXPECT_TRUE(view.Of(drv::DriverView::Indicator::Z8).drawn);

    Deliver(Frame4(802));
    Deliver(Frame4(803));
    ASSERT_TRUE(WaitWithEvents([&] {
        const auto frames = server.Frames();
        return std::count_if(frames.begin(), frames.end(),
                             [](const auto& x) { return x.packet && x.packet->code == kStationEvent; }) == 2;
    }));
    std::vector<int> objects;
    for (const auto& f : server.Frames())
        if (f.packet && f.packet->code == kStationEvent) objects.push_back(ObjectOf(f.packet->payload));
    EXPECT_EQ(objects, (std::vector<int>{40802, 40803}));
    // The indicator moves with every accepted reply, polling keeps it moving, and each step is shown.
    const int phase = driver->Z8ActivityCounter;
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8ActivityCounter != phase; }));
    const auto& shown = view.Of(drv::DriverView::Indicator::Z8);
    EXPECT_TRUE(shown.up);
    EXPECT_EQ(shown.phase, driver->Z8ActivityCounter);
    EXPECT_TRUE(dir.list(".ob8").empty());
}

TEST_F(Z8Host, AnUnansweredEventIsSpooled) {
    Z8Server server;
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.packet && f.packet->code == kStationEvent) return ServerAction{};  // no answer
        return std::nullopt;
    });
    Start(server.Port());
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8LinkConnected(); }));
    Deliver(Frame4(802));
    ASSERT_TRUE(WaitWithEvents([&] { return !dir.list(".ob8").empty(); }));
    EXPECT_EQ(SpooledObjects(), (std::set<int>{40802}));
    EXPECT_EQ(server.Frames().back().packet->code, kStationEvent);
}

TEST_F(Z8Host, NothingIsLostWhenTheRingIsFullAndTheDriverEnds) {
    // The server takes the hello and never answers, so the link waits on its first read while the station sends
    // more events than the ring holds; then the driver ends.
    Z8Server server;
    server.SetBehaviour({.silent = true});
    auto t = Timings();
    t.readTimeoutMs = 600000;
    t.replyDeadlineMs = 600000;
    Start(server.Port(), "", t);
    ASSERT_TRUE(WaitWithEvents([&] { return !server.Frames().empty(); }));
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8LinkConnected(); }));
    const int kEvents = 110;
    for (int i = 1; i <= kEvents; ++i) Deliver(Frame4(i));
    // 97 fit behind the rest of the handshake; the others are spooled at once.
    EXPECT_EQ(dir.list(".ob8").size(), static_cast<std::size_t>(kEvents - 97));
    driver.reset();  // must neither hang nor abort, and keeps what was queued
    const auto spooled = SpooledObjects();
    EXPECT_EQ(spooled.size(), static_cast<std::size_t>(kEvents));
    for (int i = 1; i <= kEvents; ++i) EXPECT_TRUE(spooled.count(40000 + i)) << i;
}

TEST_F(Z8Host, EndsCleanlyWithNoServerAndWhileTheLinkWaitsForTheMainThread) {
    Z8Server probe;
    const int port = probe.Port();
    probe.Stop();
    Start(port);
    ASSERT_TRUE(WaitWithEvents([&] { return Log().find("Соединение...") != std::string::npos; }));
    // The link's next hand-off is held back, so that the link thread waits for the main thread when the driver
    // goes: the driver must still end, and at once.
    struct HoldHandOffs : QObject {
        bool eventFilter(QObject*, QEvent* e) override { return e->type() == QEvent::MetaCall && ++held > 0; }
        int held = 0;
    } hold;
    driver->installEventFilter(&hold);  // the link hands off to the driver object
    ASSERT_TRUE(WaitWithEvents([&] { return hold.held > 0; }));
    const auto closing = std::chrono::steady_clock::now();
    driver.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(5));
}

TEST_F(Z8Host, NotSendToDiskDropsAnUnansweredEvent) {
    Z8Server server;
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.packet && f.packet->code == kStationEvent) return ServerAction{};
        return std::nullopt;
    });
    Start(server.Port(), "NotSendToDiskZ8=1");
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8LinkConnected(); }));
    Deliver(Frame4(5));
    // The second event leaves only after the first one's read has ended and it was handed back.
    Deliver(Frame4(6));
    ASSERT_TRUE(WaitWithEvents([&] {
        const auto frames = server.Frames();
        return std::count_if(frames.begin(), frames.end(),
                             [](const auto& f) { return f.packet && f.packet->code == kStationEvent; }) == 2;
    }));
    QCoreApplication::processEvents();
    driver.reset();
    EXPECT_TRUE(dir.list(".ob8").empty());
}

TEST_F(Z8Host, SimulatorPrintsWhatTheDriverSends) {
    const std::string out = dir.file("sim.out");
    drvtest::ChildProcess::Options simOptions;
    simOptions.argv = {DRV_Z8SERVERSIM_PATH, "--port", "0", "--ack", "--poll"};
    simOptions.stdoutPath = out;
    drvtest::ChildProcess sim(simOptions);
    int port = 0;
    ASSERT_TRUE(drvtest::WaitUntil([&] {
        std::istringstream in(drvtest::ReadFile(out));
        std::string word, at;
        if (!(in >> word >> word >> word >> at)) return false;
        port = std::stoi(at.substr(at.rfind(':') + 1));
        return port > 0;
    }));
    Start(port);
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8LinkConnected(); }));
    Deliver(Frame4(802));
    ASSERT_TRUE(WaitWithEvents([&] {
        return drvtest::ReadFile(out).find("station event: object 40802 event 0A bytes 05 00") != std::string::npos;
    }));
    // Polling was switched on by the answer to the hello.
    ASSERT_TRUE(WaitWithEvents(
        [&] { return drvtest::ReadFile(out).find("code 0x02000000 seq 0 len 0") != std::string::npos; }));
    const std::string text = drvtest::ReadFile(out);
    EXPECT_NE(text.find("code 0x02000001 seq 0 len 2 payload 1C 00"), std::string::npos) << text;
    driver.reset();
    EXPECT_TRUE(dir.list(".ob8").empty());
}

TEST_F(Z8Host, EventsHeldByAStuckLinkAreOnDiskInTimeAndAcknowledgedOnesNeverWritten) {
    // Event 1 is acknowledged at once. Event 2's answer is held back by the test, so the link is stuck in its read
    // with event 2 in flight and events 3 and 4 in the ring: all three must reach the disk while it waits. Then
    // event 2 is acknowledged, 3 and 4 follow, and every file goes with the acknowledgement of its own frame.
    Z8Server server;
    struct Release {  // declared after the server, so that a failing test still lets its thread end
        std::promise<void> promise;
        bool done = false;
        void operator()() { done ? void() : (done = true, promise.set_value()); }
        ~Release() { (*this)(); }
    } release;
    std::shared_future<void> released = release.promise.get_future().share();
    server.SetScript([released](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (!f.packet || f.packet->code != kStationEvent) return std::nullopt;
        if (ObjectOf(f.packet->payload) == 40002) released.wait();
        return ServerAction{.bytes = ReplyFrame(kEventAcknowledged)};
    });
    auto recording = std::make_shared<RecordingSpoolFs>();
    spoolFs = recording;
    durableAfterMs = 300;
    auto t = Timings();
    t.readTimeoutMs = 60000;
    t.replyDeadlineMs = 60000;
    Start(server.Port(), "", t);
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8LinkConnected(); }));
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z8Link->QueuedCount() == 0; }));  // the handshake is out
    for (int i = 1; i <= 4; ++i) Deliver(Frame4(i));
    ASSERT_TRUE(WaitWithEvents([&] { return SpooledObjects() == std::set<int>{40002, 40003, 40004}; }));
    EXPECT_TRUE(driver->Z8LinkConnected());
    // Forwarding leaves these files to the link: their packets are queued or in flight already.
    for (int i = 0; i < 3; ++i) driver->Timer2Timer(nullptr);
    EXPECT_EQ(driver->Z8Link->QueuedCount(), 2u);
    release();
    ASSERT_TRUE(WaitWithEvents([&] {
        const auto frames = server.Frames();
        return std::count_if(frames.begin(), frames.end(),
                             [](const auto& x) { return x.packet && x.packet->code == kStationEvent; }) == 4;
    }));
    ASSERT_TRUE(WaitWithEvents([&] { return dir.list(".ob8").empty(); }));
    EXPECT_EQ(recording->written, (std::vector<int>{40002, 40003, 40004}));
    std::vector<int> objects;
    for (const auto& f : server.Frames())
        if (f.packet && f.packet->code == kStationEvent) objects.push_back(ObjectOf(f.packet->payload));
    EXPECT_EQ(objects, (std::vector<int>{40001, 40002, 40003, 40004}));  // each once
}
