// Spool forwarding and the station watchdog of the driver object (no window), with an injected clock, hand-made ticks
// and a Z8 server on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "core/spool.h"
#include "core/spoolindex.h"
#include "driver/driver.h"
#include "tests/support/coreapp.h"
#include "tests/support/tempdir.h"
#include "z7link/SimpleTCP.h"
#include "z7link/z7server.h"
#include "z8link/Unit7.h"
#include "z8link/z8server.h"

using namespace drv::z8;
using drvtest::WaitWithEvents;

namespace {

const drv::TDateTime kStart = drv::EncodeDateTime({2026, 12, 8, 12, 30, 15, 250});

// A 20-byte event payload whose first four bytes carry `object`.
Bytes Event(int object) {
    Bytes e(20, 0);
    PutU32(e.data(), static_cast<std::uint32_t>(object));
    e[19] = 0x29;
    return e;
}

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        drvtest::TestCoreApp();
        clock->store(kStart);
    }
    void TearDown() override { form.reset(); }

    // Starts the driver with the spool in the working directory; Timer2 does not run, the test ticks.
    void Start(int port, const std::string& mainSection = "", int z7Port = 0) {
        dir.write("drvorvel.ini", "[main]\nPathForSoob=" + (spoolPath.empty() ? dir.path() + "/" : spoolPath) + "\n" +
                                      mainSection + "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) +
                                      "\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock = {[c = clock] { return c->load(); }, [m = mono] { return m->load(); }};
        options.linkClock = drv::Clock{};  // the link talks to a real server in real time
        options.timer2IntervalMs = 0;
        options.z7Port = static_cast<std::uint16_t>(z7Port);
        options.spoolFs = spoolFs;
        drv::Z8LinkTimings t;
        t.attemptIntervalMs = 200;
        t.readTimeoutMs = 300;
        t.pollIntervalMs = 50;
        t.replyDeadlineMs = replyDeadlineMs;
        options.z8Timings = std::make_shared<drv::Z8LinkTimings>(t);
        form = std::make_unique<drv::Driver>(&view, options);
        form->Start();
    }

    void StartConnected(Z8Server& server, const std::string& mainSection = "") {
        Start(server.Port(), mainSection);
        ASSERT_TRUE(WaitWithEvents([&] { return form->Z8LinkConnected(); }));
    }

    // An .ob8 file modified `age` seconds after a fixed moment, so that the order by age is known.
    void WriteOb8(const std::string& name, std::uint32_t code, const Bytes& payload, int age) {
        const auto bytes = drv::BuildOb8(code, payload.data(), payload.size());
        dir.write(name, std::string(bytes.begin(), bytes.end()));
        SetAge(name, age);
    }
    void SetAge(const std::string& name, int age) {
        const timespec times[2] = {{1700000000 + age, 0}, {1700000000 + age, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0), 0);
    }

    void Tick(double secondsLater = 0) {
        clock->store(clock->load() + secondsLater * drv::kOneSecond);
        mono->fetch_add(std::llround(secondsLater * 1000));
        form->Timer2Timer(nullptr);
    }

    static std::vector<PacketView> Events(const Z8Server& server) {
        std::vector<PacketView> events;
        for (const auto& f : server.Frames())
            if (f.packet && f.packet->code == kStationEvent) events.push_back(*f.packet);
        return events;
    }
    static std::vector<int> EventObjects(const Z8Server& server) {
        std::vector<int> objects;
        for (const auto& e : Events(server)) objects.push_back(static_cast<int>(GetU32(e.payload.data())));
        return objects;
    }

    std::uint64_t Queued() const { return form->Z8Link->NextSequenceNumber(); }
    bool StationIndicatorGreen() const {
        const auto& station = view.Of(drv::DriverView::Indicator::Station);
        return station.drawn && station.up;
    }

    std::shared_ptr<std::atomic<double>> clock = std::make_shared<std::atomic<double>>(kStart);
    std::shared_ptr<std::atomic<std::int64_t>> mono = std::make_shared<std::atomic<std::int64_t>>(1000000);
    std::shared_ptr<drv::SpoolFs> spoolFs;
    std::string spoolPath;  // PathForSoob; empty: the working directory
    std::uint32_t replyDeadlineMs = 10000;
    drvtest::TempDir dir;
    drvtest::RecordingView view;
    std::unique_ptr<drv::Driver> form;
};

}  // namespace

TEST_F(Forwarding, FilesGoOldestFirstEachRightAfterTheAcknowledgementOfTheOneBefore) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    // Names against the order of age; equal ages go by name.
    WriteOb8("C.ob8", kStationEvent, Event(1), 0);
    WriteOb8("B.ob8", kStationEvent, Event(2), 1);
    WriteOb8("A1.ob8", kStationEvent, Event(4), 2);
    WriteOb8("A.ob8", kStationEvent, Event(3), 2);
    StartConnected(server);
    // One tick and a clock that stands still: only the acknowledgements can move forwarding on.
    Tick();
    // The index learns of the last deletion from the link's news, after the file is gone.
    ASSERT_TRUE(WaitWithEvents([&] { return dir.list(".ob8").empty() && form->Z8Spool().Size() == 0; }));
    EXPECT_EQ(EventObjects(server), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(Forwarding, AnUnacknowledgedFileIsHandedOverAgainAfterAGrowingPauseAndKept) {
    Z8Server server;  // answers every frame, acknowledges none
    WriteOb8("A.ob8", kStationEvent, Event(7), 0);
    StartConnected(server);
    // While its packet is queued or awaits its reply the file is not handed over again: each hand-over waits
    // until the answer (no acknowledgement) has come back, and then for 3 s, 6 s, 12 s ...
    const auto answered = [&](std::size_t n) {
        return WaitWithEvents([&] { return Events(server).size() == n && !form->Z8Spool().InFlight("A.ob8"); });
    };
    const auto handedOver = [&] { return form->Z8Spool().InFlight("A.ob8"); };
    Tick();
    ASSERT_TRUE(answered(1));
    Tick(2.8);
    Tick(0.2);  // exactly 3 seconds later: not yet
    EXPECT_FALSE(handedOver());
    Tick(0.2);
    EXPECT_TRUE(handedOver());
    ASSERT_TRUE(answered(2));
    Tick(6);
    EXPECT_FALSE(handedOver());
    Tick(0.2);
    EXPECT_TRUE(handedOver());
    ASSERT_TRUE(answered(3));
    EXPECT_EQ(EventObjects(server), (std::vector<int>{7, 7, 7}));
    EXPECT_TRUE(dir.exists("A.ob8"));
}

TEST_F(Forwarding, AFileIsSentAsItsCodeAndTheRestAsPayload) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    WriteOb8("A.ob8", kStationEvent, Event(0x01020304), 0);  // 24 bytes
    WriteOb8("B.ob8", kPortStatus, {}, 1);                   // 4 bytes: any code but the event's takes any payload
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (!f.packet || f.packet->code != kPortStatus || !f.packet->payload.empty()) return std::nullopt;
        return ServerAction{.bytes = ReplyFrame(kEventAcknowledged)};
    });
    StartConnected(server);
    Tick();
    ASSERT_TRUE(WaitWithEvents([&] { return dir.list(".ob8").empty(); }));
    const auto events = Events(server);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, Event(0x01020304));
    EXPECT_EQ(events[0].lengthField, 20);
    const auto frames = server.Frames();
    const auto b = std::find_if(frames.begin(), frames.end(), [](const auto& f) {
        return f.packet && f.packet->code == kPortStatus && f.packet->payload.empty();
    });
    ASSERT_NE(b, frames.end());
    EXPECT_EQ(b->packet->lengthField, 0);
}

TEST_F(Forwarding, AnAcknowledgedLiveEventLeavesAPendingFileAlone) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    WriteOb8("A.ob8", kStationEvent, Event(1), 0);
    StartConnected(server);
    const Bytes frame{0x13, 0x22, 0x0A, 0x05};
    form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
    form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
    // The second event leaves only after the acknowledgement of the first has been handled.
    ASSERT_TRUE(WaitWithEvents([&] { return Events(server).size() == 2; }));
    EXPECT_TRUE(dir.exists("A.ob8"));
    Tick();
    ASSERT_TRUE(WaitWithEvents([&] { return !dir.exists("A.ob8"); }));
    EXPECT_EQ(EventObjects(server).back(), 1);
}

TEST_F(Forwarding, WithoutSendZ8SpoolFilesAreNeverTouched) {
    WriteOb8("A.ob8", kStationEvent, Event(1), 0);
    Start(1, "SendZ8=0");
    Tick();
    Tick(60);
    EXPECT_EQ(drvtest::ReadBytes(dir.file("A.ob8")), drv::BuildOb8(kStationEvent, Event(1).data(), 20));
    EXPECT_EQ(dir.list().size(), 2u);  // drvorvel.ini and the file
}

TEST_F(Forwarding, BadFilesAreSetAsideAndTheRestIsForwarded) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    dir.write("A.ob8", std::string("\x20\x00\x00", 3));  // shorter than a code
    SetAge("A.ob8", 0);
    ASSERT_EQ(::mkdir(dir.file("B.ob8").c_str(), 0755), 0);  // cannot be read as a file
    SetAge("B.ob8", 1);
    WriteOb8("C.ob8", kStationEvent, Event(3), 2);
    WriteOb8("D.ob8", kStationEvent, Event(4), 3);
    StartConnected(server);
    ::unlink(dir.file("C.ob8").c_str());  // deleted behind the driver's back
    testing::internal::CaptureStderr();
    Tick();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(WaitWithEvents([&] { return dir.list(".ob8").empty(); }));
    EXPECT_EQ(EventObjects(server), (std::vector<int>{4}));
    EXPECT_EQ(dir.read("A.ob8.bad"), std::string("\x20\x00\x00", 3));
    EXPECT_TRUE(dir.exists("B.ob8.bad"));
    EXPECT_NE(err.find("A.ob8\" is shorter than 4 bytes"), std::string::npos) << err;
    EXPECT_NE(err.find("B.ob8\" is a directory"), std::string::npos) << err;
}

TEST_F(Forwarding, AFilePutThereByOthersIsFoundWithoutATick) {
    Start(1, "SendZ8=0");
    dir.write("X.tmp", "0123");
    ASSERT_EQ(::rename(dir.file("X.tmp").c_str(), dir.file("X.ob8").c_str()), 0);
    dir.write("Y.obz", std::string(555, 'z'));
    ASSERT_TRUE(WaitWithEvents([&] { return form->Z8Spool().Size() == 1 && form->Z7Spool().Size() == 1; }));
    EXPECT_EQ(form->Z8Spool().First(), "X.ob8");
    ::unlink(dir.file("X.ob8").c_str());
    ASSERT_TRUE(WaitWithEvents([&] { return form->Z8Spool().Size() == 0; }));
}

TEST_F(Forwarding, AFileInFlightIsSkippedUntilItsMarkEnds) {
    Z8Server server;
    WriteOb8("A.ob8", kStationEvent, Event(1), 0);
    WriteOb8("B.ob8", kStationEvent, Event(2), 1);
    StartConnected(server);
    form->SetZ8SpoolFileInFlight(dir.file("A.ob8"), true);
    Tick();
    form->SetZ8SpoolFileInFlight(dir.file("A.ob8"), false);
    Tick(3.2);
    ASSERT_TRUE(WaitWithEvents([&] { return Events(server).size() == 2; }));
    EXPECT_EQ(EventObjects(server), (std::vector<int>{2, 1}));
}

TEST_F(Forwarding, AFileForwardedWhenTheLinkIsLostGoesAgainAfterTheNextConnection) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true, .pollAfterHello = true});  // the polls find the closed connection
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection != 1 || !f.packet || f.packet->code != kStationEvent) return std::nullopt;
        ServerAction close;
        close.closeBefore = true;
        return close;
    });
    WriteOb8("A.ob8", kStationEvent, Event(1), 0);
    StartConnected(server);
    Tick();
    ASSERT_TRUE(WaitWithEvents([&] { return server.ConnectionCount() == 2 && form->Z8LinkConnected(); }));
    EXPECT_TRUE(dir.exists("A.ob8"));
    // A file whose packet went with the connection waits its first pause like any unacknowledged one (a file the
    // server drops the connection on must not hold the others back either).
    Tick(3.2);
    ASSERT_TRUE(WaitWithEvents([&] { return !dir.exists("A.ob8"); }));
    EXPECT_EQ(EventObjects(server), (std::vector<int>{1, 1}));
}

TEST_F(Forwarding, WatchdogUpAtTheFirstTickLostAfterAttentionUpOnTheNextFrame) {
    dir.write("ignore.ini", "[object]\n40802=1\n");
    Start(1, "SendZ8=0\nAttention=00:00:10");
    EXPECT_FALSE(form->State().StationLinkUp);
    Tick();
    EXPECT_TRUE(form->State().StationLinkUp);
    EXPECT_TRUE(StationIndicatorGreen());
    Tick(10);
    EXPECT_TRUE(form->State().StationLinkUp);
    Tick(0.2);
    EXPECT_FALSE(form->State().StationLinkUp);
    EXPECT_FALSE(StationIndicatorGreen());
    // A frame of an ignored object counts as a sign of life too.
    const Bytes frame{0x13, 0x22, 0x0A, 0x05};
    form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
    Tick(0.2);
    EXPECT_TRUE(form->State().StationLinkUp);
    EXPECT_TRUE(StationIndicatorGreen());
    EXPECT_TRUE(dir.list(".obz").empty());  // no reports without SendZ7
}

// Spool file operations that fail on purpose: the first read of one file (a passing fault) and the first
// deletions of every file.
class FaultySpoolFs : public drv::SpoolFs {
public:
    drv::SpoolFileRead ReadFile(const std::string& path, std::size_t limit, bool wholeOnly) override {
        if (path == failReadOnce) {
            failReadOnce.clear();
            drv::SpoolFileRead r;
            r.error = EIO;
            return r;
        }
        return drv::SpoolFs::ReadFile(path, limit, wholeOnly);
    }
    int Remove(const std::string& path) override {
        if (failedRemovals < removalsToFail) {
            ++failedRemovals;
            return EROFS;
        }
        return drv::SpoolFs::Remove(path);
    }
    std::string failReadOnce;
    std::atomic<int> removalsToFail{0};
    std::atomic<int> failedRemovals{0};
};

TEST_F(Forwarding, HostileSpoolEntriesAreSetAsideAndNeverHangTheDriver) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    const auto valid = [&](const std::string& name, int object, int age) {
        WriteOb8(name, kStationEvent, Event(object), age);
    };
    const auto file = [&](const std::string& name, const std::string& bytes, int age) {
        dir.write(name, bytes);
        SetAge(name, age);
    };
    const std::string eventCode("\x20\x00\x00\x03", 4);
    // Each entry in the order of age, with what the message about it must say.
    const struct {
        const char* name;
        std::function<void(const char*, int)> make;
        const char* said;
    } hostile[] = {
        {"F.ob8", [&](const char* n, int) { ASSERT_EQ(::mkfifo(dir.file(n).c_str(), 0644), 0); }, "is a FIFO"},
        {"D.ob8", [&](const char* n, int) { ASSERT_EQ(::mkdir(dir.file(n).c_str(), 0755), 0); }, "is a directory"},
        {"L.ob8", [&](const char* n, int) { ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file(n).c_str()), 0); },
         "is a symbolic link"},
        {"Z0.ob8", [&](const char* n, int a) { file(n, "", a); }, "is shorter than 4 bytes (0 bytes)"},
        {"Z3.ob8", [&](const char* n, int a) { file(n, "abc", a); }, "is shorter than 4 bytes (3 bytes)"},
        {"Z12.ob8", [&](const char* n, int a) { file(n, eventCode + "12345678", a); },
         "holds a station event of 8 bytes instead of 20 (12 bytes)"},
        {"S.ob8",
         [&](const char* n, int a) {
             file(n, "", a);
             ASSERT_EQ(::truncate(dir.file(n).c_str(), 2LL << 30), 0);  // 2 GB, sparse
         },
         "is too large for a packet (2147483648 bytes)"},
    };
    const auto target = drv::BuildOb8(kStationEvent, Event(66).data(), 20);
    dir.write("target", std::string(target.begin(), target.end()));  // what the link points to is never sent
    int age = 0;
    for (const auto& h : hostile) h.make(h.name, age++);
    valid("V1.ob8", 1, age++);
    valid("E.ob8", 2, age++);  // its first read fails
    valid("V2.ob8", 3, age++);
    // A FIFO named like a temporary file left by a crashed writer: looked at during startup, never opened.
    ASSERT_EQ(::mkfifo(dir.file("P.ob8.999999998.part").c_str(), 0644), 0);
    auto fs = std::make_shared<FaultySpoolFs>();
    fs->failReadOnce = dir.file("E.ob8");
    spoolFs = fs;
    StartConnected(server);
    ASSERT_EQ(::mkfifo(dir.file("G.ob8").c_str(), 0644), 0);  // appears while the driver runs
    ASSERT_TRUE(WaitWithEvents([&] { return form->Z8Spool().Size() == std::size(hostile) + 4; }));

    EXPECT_TRUE(dir.exists("P.ob8.999999998.bad"));
    testing::internal::CaptureStderr();
    const Bytes frame{0x13, 0x22, 0x0A, 0x05};
    for (int tick = 0; tick < 50 && !dir.list(".ob8").empty(); ++tick) {
        Tick(0.2);
        if (tick == 1) form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);  // a live event meanwhile
        WaitWithEvents([&] { return !form->Z8Spool().InFlight(form->State().ForwardedSpoolPath); });
    }
    Tick(61);  // past the minute in which later set-asides are held back for one line
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(WaitWithEvents([&] { return Events(server).size() == 4; }));
    const auto objects = EventObjects(server);  // each valid file and the live event once
    for (const int object : {1, 2, 3}) EXPECT_EQ(std::count(objects.begin(), objects.end(), object), 1) << object;
    EXPECT_TRUE(dir.list(".ob8").empty());
    EXPECT_EQ(dir.list(".bad").size(), std::size(hostile) + 2);  // G and P too
    EXPECT_NE(err.find("E.ob8\" cannot be read now (" + std::string(std::strerror(EIO))), std::string::npos) << err;
    // Not one line each: a line for each tick's set-asides (held back for a minute after the first), with their
    // count, the first few with what they are, and how many more.
    std::size_t lines = 0, counted = 0;
    const std::string said = " set aside as unusable: ";
    for (auto at = err.find(said); at != std::string::npos; at = err.find(said, at + 1)) {
        ++lines;
        const auto lineStart = err.rfind("drvorvel: ", at) + 10;
        counted += std::stoul(err.substr(lineStart, at - lineStart));
    }
    EXPECT_LE(lines, 3u) << err;
    EXPECT_EQ(counted, std::size(hostile) + 1) << err;  // G too
    for (const auto& h : hostile) {
        if (err.find(dir.file(h.name) + "\"") != std::string::npos) {
            EXPECT_NE(err.find(std::string(h.name) + "\" " + h.said), std::string::npos) << h.name << "\n" << err;
        }
    }
    EXPECT_NE(err.find(" more\n"), std::string::npos) << err;
}

TEST_F(Forwarding, AFileNeverAcknowledgedHoldsNoneOfTheFilesBehindIt) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (!f.packet || f.packet->code != kStationEvent || GetU32(f.packet->payload.data()) != 999)
            return std::nullopt;
        return ServerAction{.bytes = ReplyFrame(kPoll)};  // answered, never acknowledged
    });
    WriteOb8("A.ob8", kStationEvent, Event(999), 0);
    for (int i = 1; i <= 50; ++i) WriteOb8("B" + std::to_string(i) + ".ob8", kStationEvent, Event(i), i);
    StartConnected(server);
    testing::internal::CaptureStderr();
    const auto stuck = [&] {
        const auto objects = EventObjects(server);
        return std::count(objects.begin(), objects.end(), 999);
    };
    const auto declined = [&](int times) {
        return WaitWithEvents([&] { return stuck() == times && !form->Z8Spool().InFlight("A.ob8"); });
    };
    Tick();
    ASSERT_TRUE(declined(1));
    EXPECT_EQ(Events(server).size(), 1u);  // declined: the server is owed the rest of the 3 s
    Tick(3.2);                             // A is due again as soon as the spacing is over, and declined again
    ASSERT_TRUE(declined(2));
    Tick(3.2);  // A waits 6 s now: the others go, each acknowledgement letting the next one go at once
    ASSERT_TRUE(WaitWithEvents([&] { return dir.list(".ob8") == std::vector<std::string>{"A.ob8"}; }));
    EXPECT_EQ(Events(server).size(), 52u);
    Tick(3.2);  // its pause is over: tried again, still kept
    ASSERT_TRUE(declined(3));
    EXPECT_TRUE(dir.exists("A.ob8"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("A.ob8\" was not acknowledged (reply code"), std::string::npos) << err;
    EXPECT_EQ(err.find("tried 2 times"), std::string::npos) << "reported once a minute only\n" << err;
}

TEST_F(Forwarding, AnAcknowledgedFileThatCannotBeDeletedIsNeverSentAgainAndDeletedLater) {
    Z8Server server;
    server.SetBehaviour({.ackEvents = true});
    auto fs = std::make_shared<FaultySpoolFs>();
    fs->removalsToFail = 2;  // by the link at the acknowledgement, then by the first retry
    spoolFs = fs;
    WriteOb8("A.ob8", kStationEvent, Event(1), 0);
    StartConnected(server);
    testing::internal::CaptureStderr();
    Tick();
    ASSERT_TRUE(WaitWithEvents([&] { return form->Z8Spool().Delivered().count("A.ob8") == 1; }));
    for (int i = 0; i < 3; ++i) Tick(3.2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(dir.exists("A.ob8"));
    EXPECT_EQ(fs->failedRemovals, 2);
    EXPECT_EQ(Events(server).size(), 1u);
    EXPECT_NE(err.find("A.ob8\" cannot be deleted (" + std::string(std::strerror(EROFS))), std::string::npos) << err;
}

TEST_F(Forwarding, AWallClockStepChangesNoInterval) {
    for (const double hours : {1.0, -1.0}) {
        SCOPED_TRACE(hours);
        form.reset();
        for (const auto& name : dir.list()) ::unlink(dir.file(name).c_str());
        dir.write("ignore.ini", "[object]\n40802=1\n");  // the frame below is a sign of life, not an event
        int z7Port = 0;
        {
            drv::z7::Z7Server probe;  // nobody listens on its port afterwards: the reports are spooled
            z7Port = probe.Port();
        }
        Z8Server server;  // answers, never acknowledges
        WriteOb8("A.ob8", kStationEvent, Event(1), 0);
        Start(server.Port(), "SendZ7=1\nAttention=00:00:10", z7Port);
        ASSERT_TRUE(WaitWithEvents([&] { return form->Z8LinkConnected(); }));
        const auto step = [&] { clock->store(clock->load() + hours / 24); };
        const Bytes frame{0x13, 0x22, 0x0A, 0x05};
        Tick();  // I, and the file goes
        ASSERT_TRUE(WaitWithEvents([&] { return Events(server).size() == 1 && !form->Z8Spool().InFlight("A.ob8"); }));
        form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);  // traffic
        step();
        Tick(2.9);  // neither H nor the file's next hand-over yet
        EXPECT_FALSE(form->Z8Spool().InFlight("A.ob8"));
        Tick(0.2);
        EXPECT_TRUE(form->Z8Spool().InFlight("A.ob8"));
        Tick(6.8);  // 9.9 s after the frame: still up
        EXPECT_TRUE(form->State().StationLinkUp);
        Tick(0.2);
        EXPECT_FALSE(form->State().StationLinkUp);
        step();  // during silence
        Tick(0.2);
        EXPECT_FALSE(form->State().StationLinkUp);
        form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
        Tick(0.2);
        EXPECT_TRUE(form->State().StationLinkUp);
        std::string codes;  // the names carry the stepped clock: their order says nothing here
        for (const auto& name : dir.list(".obz")) codes += static_cast<char>(drvtest::ReadBytes(dir.file(name))[2]);
        std::sort(codes.begin(), codes.end());
        EXPECT_EQ(codes, "HII");
    }
}

// A Z7 record of `size` bytes: the signature, the code, zeros.
std::string Z7RecordBytes(std::uint8_t code, std::size_t size) {
    std::string r(size, '\0');
    r[0] = r[1] = '\xFF';
    r[2] = static_cast<char>(code);
    return r;
}

TEST_F(Forwarding, ObzFilesGoOneATickBehindTheRecordsOfTheConnection) {
    drv::z7::Z7Server z7;
    dir.write("A.obz", Z7RecordBytes('a', 555));
    SetAge("A.obz", 0);
    dir.write("B.obz", Z7RecordBytes('b', 10));  // completed with zeros
    SetAge("B.obz", 1);
    dir.write("C.obz", Z7RecordBytes('c', 555) + std::string(45, 'x'));  // sent as its first 555 bytes
    SetAge("C.obz", 2);
    Start(1, "SendZ8=0\nSendZ7=1", z7.Port());
    ASSERT_TRUE(WaitWithEvents([&] { return form->SimpleTCPClient1->Connected() && z7.Pieces().size() == 2; }));
    Tick();  // A, then the watchdog's first report
    EXPECT_EQ(dir.list(".obz"), (std::vector<std::string>{"B.obz", "C.obz"}));
    Tick(0.2);
    Tick(0.2);
    ASSERT_TRUE(z7.WaitFor([](const auto& p) { return p.size() == 6; }, 20000));
    const auto pieces = z7.Pieces();
    std::string codes;
    for (const auto& p : pieces) codes += static_cast<char>(p.bytes[2]);
    EXPECT_EQ(codes, std::string("\x14\x32") + "aIbc");
    EXPECT_EQ(std::string(pieces[4].bytes.begin(), pieces[4].bytes.end()), Z7RecordBytes('b', 555));
    EXPECT_EQ(std::string(pieces[5].bytes.begin(), pieces[5].bytes.end()), Z7RecordBytes('c', 555));
    EXPECT_TRUE(dir.list(".obz").empty());
}

TEST_F(Forwarding, WithSendZ7TheWatchdogReportsEveryChange) {
    int port = 0;
    {
        drv::z7::Z7Server probe;  // nobody listens on its port afterwards: the reports are spooled
        port = probe.Port();
    }
    Start(1, "SendZ8=0\nSendZ7=1\nAttention=00:00:10", port);
    Tick();
    Tick(10.2);
    const Bytes frame{0x13, 0x22, 0x0A, 0x05};
    form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
    Tick(0.2);
    std::string codes;
    for (const auto& name : dir.list(".obz")) {
        const auto bytes = drvtest::ReadBytes(dir.file(name));
        ASSERT_EQ(bytes.size(), 555u) << name;
        codes += static_cast<char>(bytes[2]);
    }
    EXPECT_EQ(codes, "IHI");
}

TEST_F(Forwarding, AnObzFileWhoseSendFailsIsKept) {
    drv::z7::Z7Server z7;
    Start(1, "SendZ8=0\nSendZ7=1", z7.Port());
    ASSERT_TRUE(WaitWithEvents([&] { return form->SimpleTCPClient1->Connected() && z7.Pieces().size() == 2; }));
    Tick();  // the watchdog's first report
    // The server stops reading and the client's buffer is small: one of the next sends is taken only in part.
    z7.SetReading(false);
    const int small = 4096;
    ::setsockopt(form->SimpleTCPClient1->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    int files = 0;
    while (form->SimpleTCPClient1->Connected() && files < 100000) {
        dir.write(std::to_string(files++) + ".obz", Z7RecordBytes('x', 555));
        Tick(0.2);
    }
    EXPECT_FALSE(form->SimpleTCPClient1->Connected());
    EXPECT_EQ(dir.list(".obz"), std::vector<std::string>{std::to_string(files - 1) + ".obz"});
}

// The driver says when its view of the spool directory degrades and mends what it can: a directory it cannot watch
// is listed every 30 s instead (and said so, once), one that vanishes while the driver runs is made again.
TEST_F(Forwarding, ASpoolDirectoryNotWatchedIsToldAndOneThatVanishesIsMadeAgain) {
    const std::string spool = dir.file("spool");
    spoolPath = spool + "/";
    testing::internal::CaptureStderr();
    Start(1, "SendZ8=0");
    Tick();
    ASSERT_EQ(::mkdir(spool.c_str(), 0755), 0);
    Tick(31);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("drvorvel: the spool directory " + spool + " cannot be watched for new files (" +
                       std::strerror(ENOENT) + "); it is listed every 30 s instead"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("cannot be watched"), err.rfind("cannot be watched")) << err;
    EXPECT_NE(err.find("drvorvel: the spool directory " + spool + " is watched again"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    std::filesystem::remove_all(spool);
    ASSERT_TRUE(WaitWithEvents([&] {
        Tick(0.2);
        return ::access(spool.c_str(), F_OK) == 0;
    }));
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("drvorvel: the spool directory " + spool + " vanished while the driver ran; it was made again"),
              std::string::npos)
        << err;
    WriteOb8("spool/X.ob8", kStationEvent, Event(1), 0);
    ASSERT_TRUE(WaitWithEvents([&] { return form->Z8Spool().Size() == 1; }));
}

namespace {

// A station frame for object 3*256 + n.
Bytes StationFrame(int n) { return {0x13, static_cast<std::uint8_t>(n), 0x0A, 0x05}; }

ServerAction BrokenPrefix(int32_t length) {
    Bytes prefix = ReplyFrame(kPoll);
    prefix.resize(kPrefixSize);
    PutU32(&prefix[5], static_cast<std::uint32_t>(length));
    return ServerAction{.bytes = prefix};
}

}  // namespace

TEST_F(Forwarding, WhateverEndsAFilesExchangeTheFileIsDeliveredOnceOnTheNextChance) {
    // The first frame of file F (object 7) meets the end; every later frame is acknowledged.
    const struct {
        const char* end;
        std::function<std::optional<ServerAction>(const ReceivedFrame&)> first;
        bool restart = false;  // the driver is stopped while the frame awaits its reply, and started again
    } cases[] = {
        {"acknowledgement", [](const ReceivedFrame&) { return ServerAction{.bytes = ReplyFrame(kEventAcknowledged)}; }},
        {"another answer", [](const ReceivedFrame&) { return ServerAction{.bytes = ReplyFrame(kPoll)}; }},
        {"the reply deadline", [](const ReceivedFrame&) { return ServerAction{}; }},
        {"a broken reply", [](const ReceivedFrame&) { return BrokenPrefix(0); }},
        {"a connection lost before the reply",
         [](const ReceivedFrame&) { return ServerAction{.bytes = {}, .closeBefore = true}; }},
        {"a connection lost mid-reply",
         [](const ReceivedFrame&) {
             Bytes half = ReplyFrame(kEventAcknowledged);
             half.resize(10);
             return ServerAction{.bytes = half, .closeAfter = true};
         }},
        {"a connection the server drops",
         [](const ReceivedFrame&) { return ServerAction{.bytes = ReplyFrame(kDropConnection)}; }},
        // Twenty errors before F (ten bare prefixes announcing a negative body), then F unanswered: the error limit
        // gives the connection up while F still awaits its reply.
        {"the error limit", [](const ReceivedFrame&) { return ServerAction{}; }},
        {"a stop", [](const ReceivedFrame&) { return ServerAction{}; }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        const bool errorLimit = std::string(c.end) == "the error limit";
        for (const auto& name : dir.list(".ob8")) std::remove(dir.file(name).c_str());
        Z8Server server;
        server.SetBehaviour({.ackEvents = true});
        std::atomic<bool> firstSeen{false};
        server.SetScript([&](const ReceivedFrame& f) -> std::optional<ServerAction> {
            if (errorLimit && f.connection == 1 && f.index < 10) return BrokenPrefix(-2);
            const bool isF = f.packet && f.packet->code == kStationEvent && GetU32(f.packet->payload.data()) == 7;
            if (!isF || firstSeen.exchange(true)) return std::nullopt;
            return c.first(f);
        });
        replyDeadlineMs = 1500;
        WriteOb8("F.ob8", kStationEvent, Event(7), 0);
        StartConnected(server);
        if (errorLimit) {
            for (int i = 0; i < 6; ++i)
                ASSERT_TRUE(form->QueueZ8Packet(kPortStatus, drv::z8::PortStatusPayload("COM3", true)));
            ASSERT_TRUE(WaitWithEvents([&] { return server.Frames().size() >= 10; }));
        }
        Tick();
        ASSERT_TRUE(WaitWithEvents([&] { return firstSeen.load(); }));
        if (c.restart) {
            form.reset();  // the stop: the file stays for the next run
            ASSERT_TRUE(dir.exists("F.ob8"));
            StartConnected(server);
            Tick();
        }
        // Each next chance: the file's own pause and the spacing are over. No restart is needed.
        for (int i = 0; i < 6 && dir.exists("F.ob8"); ++i) {
            WaitWithEvents([&] { return !dir.exists("F.ob8"); }, std::chrono::milliseconds(3000));
            if (dir.exists("F.ob8")) Tick(3.2);
        }
        ASSERT_FALSE(dir.exists("F.ob8"));
        for (int i = 0; i < 3; ++i) Tick(3.2);  // and never again
        const auto objects = EventObjects(server);
        EXPECT_EQ(std::count(objects.begin(), objects.end(), 7), std::string(c.end) == "acknowledgement" ? 1 : 2);
        EXPECT_TRUE(form->Z8Spool().Size() == 0 && !form->Z8Spool().InFlight("F.ob8"));
        form.reset();
    }
}

TEST_F(Forwarding, AServerThatDeclinesEveryFileGetsOneAtMostEvery3SecondsAndKeepsNone) {
    Z8Server server;
    server.SetBehaviour({.replyCode = kPoll});  // every event answered, none acknowledged
    for (int i = 1; i <= 5; ++i) WriteOb8("D" + std::to_string(i) + ".ob8", kStationEvent, Event(i), i);
    StartConnected(server);
    for (int second = 0; second <= 12; ++second) {
        Tick(second == 0 ? 0 : 1.0);
        ASSERT_TRUE(WaitWithEvents([&] { return !form->Z8Spool().InFlight(form->State().ForwardedSpoolPath); }));
        EXPECT_LE(Events(server).size(), static_cast<std::size_t>(second / 3 + 1)) << "after " << second << " s";
    }
    EXPECT_GE(Events(server).size(), 4u);  // the spacing is all that holds them back
    EXPECT_EQ(dir.list(".ob8").size(), 5u);
}

TEST_F(Forwarding, AnAcknowledgementThatComesLateStillDeliversTheEventOnce) {
    // Every event is acknowledged 1.5 s after it arrives, long after the link's read time-out (the event is
    // written to its spool file meanwhile); 12 events at one a second.
    Z8Server server;
    server.SetBehaviour({.ackEvents = true, .replyDelayMs = 1500});
    StartConnected(server);
    for (int i = 1; i <= 12; ++i) {
        const Bytes frame = StationFrame(i);
        form->CommPortDriver1ReceivePacket(nullptr, frame.data(), 4);
        WaitWithEvents([] { return false; }, std::chrono::milliseconds(1000));
    }
    ASSERT_TRUE(WaitWithEvents([&] { return Events(server).size() >= 12 && dir.list(".ob8").empty(); },
                               std::chrono::seconds(60)));
    Tick(3.2);  // forwarding would find anything left over
    WaitWithEvents([] { return false; }, std::chrono::milliseconds(500));
    std::map<int, int> seen;
    for (const int object : EventObjects(server)) ++seen[object];
    EXPECT_EQ(seen.size(), 12u);
    for (const auto& [object, count] : seen) EXPECT_EQ(count, 1) << "object " << object;
    EXPECT_TRUE(dir.list(".ob8").empty());
}
