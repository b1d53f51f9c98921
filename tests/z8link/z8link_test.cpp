// The link thread against a real Z8 server on loopback, with short intervals.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "core/config.h"
#include "core/driverstate.h"
#include "tests/support/tempdir.h"
#include "z8link/Unit7.h"
#include "z8link/z8server.h"

using namespace drv::z8;

namespace {

// The Z8 server named in [ServerHost] of the drvorvel.ini in dir, read at every attempt as the driver does.
std::function<drv::Z8ServerAddress()> ServerIn(const std::string& dir) {
    return [ini = dir + "/drvorvel.ini"] {
        const auto s = drv::LoadServerHostSettings(ini);
        return drv::Z8ServerAddress{s.Address, s.Port};
    };
}

constexpr int kDeadlineMs = 20000;

// Records what the link asks of the main thread; answers at once.
class RecordingHost : public drv::Z8LinkHost {
public:
    void LogLine(const std::string& text) override {
        std::lock_guard lock(m);
        logs.push_back(text);
        cv.notify_all();
    }
    void IndicatorStep() override {
        std::lock_guard lock(m);
        ++indicatorSteps;
        cv.notify_all();
    }
    std::optional<HandshakeValues> ReadHandshakeValues() override {
        std::lock_guard lock(m);
        return values;
    }
    void Connected() override {
        std::lock_guard lock(m);
        ++connections;
        cv.notify_all();
    }
    void SpoolFileResolved(const SpoolResult& result) override {
        std::lock_guard lock(m);
        resolved.push_back(result);
        cv.notify_all();
    }
    void ReturnUndelivered(std::uint32_t code, std::vector<std::uint8_t> payload) override {
        std::lock_guard lock(m);
        EXPECT_EQ(code, kStationEvent);
        returned.push_back(std::move(payload));
        cv.notify_all();
    }

    // Polls pred (called with the host's lock held) until it holds; false after ms.
    bool WaitFor(const std::function<bool()>& pred, int ms = kDeadlineMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock lock(m);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            cv.wait_for(lock, std::chrono::milliseconds(10));
        }
        return true;
    }
    std::size_t CountLog(const std::string& text) {
        std::lock_guard lock(m);
        return LogCount(text);
    }
    // For WaitFor predicates, which run with the lock held.
    std::size_t LogCount(const std::string& text) const {
        return static_cast<std::size_t>(std::count(logs.begin(), logs.end(), text));
    }
    std::vector<Bytes> Returned() {
        std::lock_guard lock(m);
        return returned;
    }
    std::vector<SpoolResult> Resolved() {
        std::lock_guard lock(m);
        return resolved;
    }
    int IndicatorSteps() {
        std::lock_guard lock(m);
        return indicatorSteps;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> logs;
    int indicatorSteps = 0;
    HandshakeValues values{"COM3", 4, true};
    int connections = 0;
    std::vector<SpoolResult> resolved;
    std::vector<Bytes> returned;
};

Bytes EventPayload(int object) {
    Bytes e(20, 0);
    PutU32(e.data(), static_cast<std::uint32_t>(object));
    e[4] = 2;
    e[5] = '0';
    e[6] = 'A';
    e[9] = 5;
    e[19] = 0x29;
    return e;
}

int ObjectOf(const Bytes& payload) { return static_cast<int>(GetU32(payload.data())); }

bool IsCode(const ReceivedFrame& f, std::uint32_t code) { return f.packet && f.packet->code == code; }

std::size_t CountCode(const std::vector<ReceivedFrame>& frames, std::uint32_t code, int connection = 0) {
    return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), [&](const ReceivedFrame& f) {
        return IsCode(f, code) && (connection == 0 || f.connection == connection);
    }));
}

class Z8Link : public ::testing::Test {
protected:
    void SetUp() override { WritePort(server.Port()); }
    void TearDown() override {
        if (link) link->Stop();
        server.Stop();
    }

    void WritePort(int port) {
        std::ofstream(dir.file("drvorvel.ini")) << "[ServerHost]\nAddress=127.0.0.1\nPort=" << port << "\n";
    }

    drv::Z8LinkTimings Timings() {
        drv::Z8LinkTimings t;
        t.attemptIntervalMs = 300;
        t.connectTimeoutMs = 2000;
        t.readTimeoutMs = 300;
        t.pollIntervalMs = 60;
        t.replyDeadlineMs = 1500;
        return t;
    }

    void StartLink(drv::Z8LinkTimings timings, drv::NameLookup::Resolver resolver = {}) {
        drv::Z8LinkConfig config;
        config.resolver = std::move(resolver);
        config.server = ServerIn(dir.path());
        config.timings = timings;
        config.version = "2.5.0.17";
        config.clock.monotonicMs = tick ? tick : [this] { return drv::SystemMonotonicMs() + tickOffset.load(); };
        link = std::make_unique<cl>(host, config);
        link->Start();
    }
    void StartLink() { StartLink(Timings()); }

    bool WaitConnected() {
        return host->WaitFor([&] { return link->LinkConnected(); }) ||
               host->WaitFor([&] { return link->LinkConnected(); }, 1);
    }
    // Waits until the handshake of the given connection has been answered in full.
    bool WaitHandshake(int connection = 1) {
        return server.WaitFor(
            [&](const std::vector<ReceivedFrame>& f) { return CountCode(f, kVersion, connection) > 0; }, kDeadlineMs);
    }

    drvtest::TempDir dir;
    std::function<std::int64_t()> tick;  // the link's count; empty: the system's
    Z8Server server;
    std::shared_ptr<RecordingHost> host = std::make_shared<RecordingHost>();
    // Added to the link's tick: a test moves the link's time on at once instead of waiting for its intervals.
    std::atomic<std::uint32_t> tickOffset{0};
    std::unique_ptr<cl> link;
};

// A link tick that moves only when told to, and counts how often the link reads it: a thread that wakes only for
// its work reads it a few times per interval, where a thread stepping every millisecond reads it at every step.
struct ManualTick {
    std::atomic<std::uint32_t> value{100000000};
    std::atomic<int> reads{0};
    std::function<std::int64_t()> Source(std::shared_ptr<ManualTick> self) {
        return [self] {
            ++self->reads;
            return self->value.load();
        };
    }
};

}  // namespace

TEST_F(Z8Link, HandshakeInOrderThenQuietUntilSomethingIsQueued) {
    StartLink();
    ASSERT_TRUE(WaitHandshake());
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение установлено.") == 1; }));
    EXPECT_TRUE(link->LinkConnected());
    EXPECT_EQ(host->CountLog("Соединение..."), 1u);
    EXPECT_TRUE(host->WaitFor([&] { return host->connections == 1; }));

    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(40802), PacketOrigin::LiveEvent));
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return f.size() >= 5; }, kDeadlineMs));
    // One indicator step for the attempt, one for the connection, one per accepted reply: the link is idle.
    ASSERT_TRUE(host->WaitFor([&] { return host->indicatorSteps == 7; }));
    // Polling is off: with every interval of the link long past, nothing else may come.
    tickOffset += 600000;
    EXPECT_FALSE(server.WaitFor([](const auto& f) { return f.size() > 5; }, 1000));
    const auto frames = server.Frames();
    ASSERT_EQ(frames.size(), 5u);
    const std::uint32_t codes[] = {kHello, kPortStatus, kFirstNumber, kVersion, kStationEvent};
    const Bytes payloads[] = {Bytes({0x1C, 0}), Bytes({4, 'C', 'O', 'M', '3', 0, 0, 1}), Bytes({4}),
                              Bytes({2, 0, 5, 0, 0, 0, 0x11, 0}), EventPayload(40802)};
    for (std::size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(frames[i].packet) << i;
        EXPECT_EQ(frames[i].packet->code, codes[i]) << i;
        EXPECT_EQ(frames[i].packet->sequence, i) << i;
        EXPECT_EQ(frames[i].packet->payload, payloads[i]) << i;
        EXPECT_EQ(frames[i].packet->lengthField, static_cast<std::int32_t>(payloads[i].size()));
    }
    EXPECT_TRUE(host->Returned().empty());
    EXPECT_EQ(host->IndicatorSteps(), 7);
}

TEST_F(Z8Link, PollsWhenIdleAfterStartPollingAndQueuedPacketsKeepTheirNumbers) {
    server.SetBehaviour({.ackEvents = true, .pollAfterHello = true});
    StartLink();
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPoll) >= 3; }, kDeadlineMs));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(1), PacketOrigin::LiveEvent));
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPoll) >= 6; }, kDeadlineMs));
    for (const auto& f : server.Frames()) {
        ASSERT_TRUE(f.packet);
        if (f.packet->code == kPoll) {
            EXPECT_EQ(f.packet->sequence, 0u);
            EXPECT_EQ(f.body.size(), 18u);
        }
        if (f.packet->code == kStationEvent) {
            EXPECT_EQ(f.packet->sequence, 4u);
        }
    }
    EXPECT_EQ(CountCode(server.Frames(), kStationEvent), 1u);
}

TEST_F(Z8Link, ServerRequestIsAnswered) {
    server.PushAction({.bytes = ReplyFrame(kRequest)});  // answers the hello
    StartLink();
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kAnswer) == 1; }, kDeadlineMs));
    const auto frames = server.Frames();
    // The answer is queued behind the rest of the handshake.
    EXPECT_TRUE(IsCode(frames.at(4), kAnswer));
    EXPECT_EQ(frames.at(4).packet->sequence, 4u);
    EXPECT_TRUE(frames.at(4).packet->payload.empty());
}

TEST_F(Z8Link, AccessDeniedEndsTheRunAndHandsBackQueuedEvents) {
    server.PushAction({.bytes = ReplyFrame(kAccessDenied)});
    StartLink();
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Доступ запрещен.") == 1; }));
    EXPECT_FALSE(link->LinkConnected());
    // Live events can no longer leave: refused, so the caller keeps them.
    EXPECT_FALSE(link->QueuePacket(kStationEvent, EventPayload(2), PacketOrigin::LiveEvent));
    // Other packets fill the ring up to 100 and are then refused.
    int accepted = 0;
    while (link->QueuePacket(kPortStatus, PortStatusPayload("COM1", true))) ++accepted;
    EXPECT_EQ(accepted, 100);
    // With every attempt interval long past, no second connection comes.
    tickOffset += 600000;
    EXPECT_FALSE(host->WaitFor([&] { return server.ConnectionCount() > 1; }, 1000));
    EXPECT_EQ(host->CountLog("Доступ запрещен."), 1u);
    EXPECT_EQ(host->CountLog("Соединение..."), 1u);
}

TEST_F(Z8Link, LiveEventsQueuedWhenAccessIsDeniedComeBack) {
    // Three events wait in the ring ahead of the handshake; the first is answered with access denied.
    server.PushAction({.bytes = ReplyFrame(kAccessDenied)});
    drv::Z8LinkConfig config;
    config.server = ServerIn(dir.path());
    config.timings = Timings();
    link = std::make_unique<cl>(host, config);
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(i), PacketOrigin::LiveEvent));
    link->Start();
    ASSERT_TRUE(host->WaitFor([&] { return host->returned.size() == 3; }));
    std::set<int> objects;
    for (const auto& p : host->Returned()) objects.insert(ObjectOf(p));
    EXPECT_EQ(objects, (std::set<int>{1, 2, 3}));
    EXPECT_EQ(server.Frames().size(), 1u);
}

TEST_F(Z8Link, DisconnectCommandLogsAndReconnectsLater) {
    server.PushAction({.bytes = ReplyFrame(kDisconnect)});
    StartLink();
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Сервер дал команду на рассоединение.") == 1; }));
    ASSERT_TRUE(server.WaitFor(
        [](const auto& f) {
            return std::count_if(f.begin(), f.end(), [](const auto& x) { return x.connection == 2; }) >= 7;
        },
        kDeadlineMs));
    // The rest of the first handshake was still queued and goes out first on the new connection.
    const auto frames = server.Frames();
    std::vector<std::uint32_t> second;
    for (const auto& f : frames) {
        if (f.connection == 2) second.push_back(f.packet->code);
    }
    ASSERT_GE(second.size(), 7u);
    EXPECT_EQ(
        std::vector<std::uint32_t>(second.begin(), second.begin() + 7),
        (std::vector<std::uint32_t>{kPortStatus, kFirstNumber, kVersion, kHello, kPortStatus, kFirstNumber, kVersion}));
    EXPECT_EQ(host->CountLog("Соединение..."), 2u);
}

TEST_F(Z8Link, DropConnectionClosesAndReconnects) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1 && IsCode(f, kVersion)) return ServerAction{.bytes = ReplyFrame(kDropConnection)};
        return std::nullopt;
    });
    StartLink();
    ASSERT_TRUE(WaitHandshake(2));
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение установлено.") == 2; }));
    EXPECT_EQ(server.Frames().size(), 8u);
}

TEST_F(Z8Link, SilentServerCostsOneFrameAndTheReplyDeadline) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1) return ServerAction{};  // silent
        return std::nullopt;
    });
    auto t = Timings();
    t.readTimeoutMs = 100;
    StartLink(t);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(link->QueuePacket(kPortStatus, PortStatusPayload("COM3", true)));
    ASSERT_TRUE(WaitHandshake(2));
    const auto frames = server.Frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.connection == 1; }), 1);
    EXPECT_EQ(host->CountLog("Ошибки по сети - переподсоединение."), 0u);
}

TEST_F(Z8Link, AlwaysLateServerAnswersEachFrameItselfThenDiesAndNothingIsLost) {
    // Every frame is answered after 1.5 read time-outs, and each late reply still counts for its own frame: spool
    // files 1 and 3 are acknowledged and deleted, 2 and 4 only answered and kept; live events 5 and 6 are
    // answered, so neither comes back to be spooled a second time.
    using Outcome = drv::Z8LinkHost::SpoolOutcome;
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        const int object = IsCode(f, kStationEvent) ? ObjectOf(f.packet->payload) : 0;
        const bool ack = object == 1 || object == 3 || object == 6;
        return ServerAction{.bytes = ReplyFrame(ack ? kEventAcknowledged : kPoll), .delayMs = 150};
    });
    auto t = Timings();
    t.readTimeoutMs = 100;
    StartLink(t);
    ASSERT_TRUE(WaitHandshake());
    for (int i = 1; i <= 4; ++i) {
        dir.write(std::to_string(i) + ".ob8", std::string(24, 'x'));
        ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(i), PacketOrigin::SpoolFile,
                                      dir.file(std::to_string(i) + ".ob8")));
    }
    for (int i = 5; i <= 6; ++i)
        ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(i), PacketOrigin::LiveEvent));
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kStationEvent) == 6; }, kDeadlineMs));
    ASSERT_TRUE(link->QueuePacket(kPortStatus, PortStatusPayload("COM3", true)));  // a barrier: 6 is answered first
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPortStatus) == 2; }, kDeadlineMs));
    ASSERT_TRUE(host->WaitFor([&] { return host->resolved.size() == 4; }));
    server.Stop();
    ASSERT_TRUE(host->WaitFor([&] { return !link->LinkConnected(); }));
    link->Stop();
    const std::vector<Outcome> expected{Outcome::Acknowledged, Outcome::Declined, Outcome::Acknowledged,
                                        Outcome::Declined};
    const auto results = host->Resolved();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(results[i].path, dir.file(std::to_string(i + 1) + ".ob8"));
        EXPECT_EQ(results[i].outcome, expected[i]) << i;
        EXPECT_EQ(dir.exists(std::to_string(i + 1) + ".ob8"), expected[i] == Outcome::Declined) << i;
    }
    EXPECT_TRUE(host->Returned().empty());
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(Z8Link, HostileRepliesEndWithinTheDeadlineAndLoseNothing) {
    const Bytes ack = ReplyFrame(kEventAcknowledged);
    const Bytes big = BuildFrame(BuildPacket(kEventAcknowledged, 0, Bytes((16u << 20) - kHeaderSize, 0)));
    const struct {
        const char* name;
        ServerAction action;
    } cases[] = {
        {"silent", ServerAction{}},
        {"trickled", ServerAction{.bytes = ack, .chunkSize = 1, .chunkPauseMs = 100}},
        {"16 MiB fed slowly", ServerAction{.bytes = big, .chunkSize = 1 << 16, .chunkPauseMs = 50}},
        {"never reads", ServerAction{.bytes = {}, .stopReading = true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drvtest::TempDir d;
        Z8Server s;
        std::ofstream(d.file("drvorvel.ini")) << "[ServerHost]\nAddress=127.0.0.1\nPort=" << s.Port() << "\n";
        s.SetScript([&](const ReceivedFrame& f) -> std::optional<ServerAction> {
            if (f.connection == 1 && IsCode(f, kStationEvent)) return c.action;
            return std::nullopt;
        });
        auto h = std::make_shared<RecordingHost>();
        drv::Z8LinkConfig config;
        config.server = ServerIn(d.path());
        config.timings = Timings();
        cl l(h, config);
        d.write("F.ob8", std::string(24, 'x'));
        ASSERT_TRUE(l.QueuePacket(kStationEvent, EventPayload(1), PacketOrigin::SpoolFile, d.file("F.ob8")));
        ASSERT_TRUE(l.QueuePacket(kStationEvent, EventPayload(2), PacketOrigin::LiveEvent));
        l.Start();
        // The file's reply never becomes whole in time: the connection is given up within the deadline and the
        // live event goes out first on the next one, where it is answered. The file stays for forwarding.
        ASSERT_TRUE(s.WaitFor([](const auto& f) { return CountCode(f, kHello, 2) >= 1; }, kDeadlineMs));
        l.Stop();
        EXPECT_TRUE(d.exists("F.ob8"));
        EXPECT_TRUE(h->Returned().empty());
        s.Stop();
    }
}

TEST_F(Z8Link, BadPrefixByteIsConsumedAndWhatFollowsIsTheNextReply) {
    Bytes bad(kPrefixSize, 0);  // a whole prefix starting with 0x00, then a reply that switches polling on
    const Bytes poll = ReplyFrame(kStartPolling);
    bad.insert(bad.end(), poll.begin(), poll.end());
    server.PushAction({.bytes = bad});  // answers the hello
    StartLink();
    // The start-polling reply is read as the late answer to the hello; nothing is sent before it.
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPoll) >= 2; }, kDeadlineMs));
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(host->CountLog("Ошибки по сети - переподсоединение."), 0u);
}

TEST_F(Z8Link, LargeBodyArrivesInSlowPiecesAndIsAccepted) {
    // 120000 bytes in pieces, some pauses longer than a read time-out.
    const Bytes body = BuildPacket(kStartPolling, 0, Bytes(120000 - kHeaderSize, 0x5A));
    ServerAction big{.bytes = BuildFrame(body), .chunkSize = 20000, .chunkPauseMs = 400};
    server.PushAction(big);
    auto t = Timings();
    t.replyDeadlineMs = 10000;  // the whole reply takes some 2.4 s
    StartLink(t);
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPoll) >= 1; }, kDeadlineMs));
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(Z8Link, ConnectionClosedMidBodyHandsBackTheEventAndReconnects) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1 && IsCode(f, kStationEvent)) {
            Bytes partial = BuildFrame(BuildPacket(kEventAcknowledged, 0, Bytes(1000, 0)));
            partial.resize(kPrefixSize + 100);
            return ServerAction{.bytes = partial, .closeAfter = true};
        }
        return std::nullopt;
    });
    StartLink();
    ASSERT_TRUE(WaitHandshake());
    ASSERT_TRUE(host->WaitFor([&] { return link->LinkConnected(); }));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(11), PacketOrigin::LiveEvent));
    ASSERT_TRUE(host->WaitFor([&] { return host->returned.size() == 1; }));
    EXPECT_EQ(host->Returned().at(0), EventPayload(11));
    ASSERT_TRUE(link->QueuePacket(kPortStatus, PortStatusPayload("COM3", true)));
    ASSERT_TRUE(WaitHandshake(2));
}

TEST_F(Z8Link, StalledBodyEndsTheReadAndTheLinkGoesOn) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (IsCode(f, kStationEvent) && ObjectOf(f.packet->payload) == 12) {
            Bytes partial = BuildFrame(BuildPacket(kEventAcknowledged, 0, Bytes(1000, 0)));
            partial.resize(kPrefixSize + 10);
            return ServerAction{.bytes = partial};  // and the connection stays open, silent
        }
        return std::nullopt;
    });
    StartLink();
    ASSERT_TRUE(WaitHandshake());
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(12), PacketOrigin::LiveEvent));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(13), PacketOrigin::LiveEvent));
    ASSERT_TRUE(host->WaitFor([&] { return host->returned.size() >= 1; }));
    EXPECT_EQ(ObjectOf(host->Returned().at(0)), 12);
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kStationEvent) == 2; }, kDeadlineMs));
}

TEST_F(Z8Link, HugeOrNegativeLengthsAllocateNothingAndDoNotStallTheLink) {
    // The huge announcement answers the hello: its body can be neither taken nor waited for, so the connection
    // is given up at once; the negative one answers a frame on the next connection, which stays.
    Bytes huge = ReplyFrame(kPoll);
    huge.resize(kPrefixSize);
    PutU32(&huge[5], 0x7FFFFFF0u);
    Bytes negative = huge;
    PutU32(&negative[5], 0xFFFFFFF0u);
    server.PushAction({.bytes = huge});
    server.PushAction({.bytes = negative});
    auto t = Timings();
    t.replyDeadlineMs = 600000;  // a link that waited for the body would never go on
    StartLink(t);
    ASSERT_TRUE(WaitHandshake(2));
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение установлено.") == 2; }));
    EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST_F(Z8Link, NegativeLengthsCountTwoErrorsEach) {
    // Every frame on the first connection is answered with a bare prefix announcing a negative body: eleven such
    // exchanges make 22 errors, so the twelfth step reconnects and still sends its frame.
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection != 1) return std::nullopt;
        Bytes prefix = ReplyFrame(kPoll);
        prefix.resize(kPrefixSize);
        PutU32(&prefix[5], f.index % 2 == 0 ? 0xFFFFFFFEu : 0x80000000u);
        return ServerAction{.bytes = prefix};
    });
    StartLink();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(link->QueuePacket(kPortStatus, PortStatusPayload("COM3", true)));
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Ошибки по сети - переподсоединение.") == 1; }));
    ASSERT_TRUE(server.WaitForConnections(2, kDeadlineMs));
    const auto frames = server.Frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.connection == 1; }), 12);
}

TEST_F(Z8Link, UnansweredAndRejectedLiveEventsComeBackNoneMissing) {
    // Connection 1 never answers; connection 2 acknowledges, but rejects object 25 with a broken body.
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1) return ServerAction{};
        if (IsCode(f, kStationEvent) && ObjectOf(f.packet->payload) == 25) {
            Bytes broken = ReplyFrame(kEventAcknowledged);
            broken.back() = 0x00;
            return ServerAction{.bytes = broken};
        }
        if (IsCode(f, kStationEvent)) return ServerAction{.bytes = ReplyFrame(kEventAcknowledged)};
        return std::nullopt;
    });
    auto t = Timings();
    t.readTimeoutMs = 100;
    drv::Z8LinkConfig config;
    config.server = ServerIn(dir.path());
    config.timings = t;
    link = std::make_unique<cl>(host, config);
    const int kEvents = 40;
    for (int i = 1; i <= kEvents; ++i)
        ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(i), PacketOrigin::LiveEvent));
    link->Start();
    ASSERT_TRUE(server.WaitFor(
        [](const auto& f) {
            std::set<int> seen;
            for (const auto& x : f)
                if (x.connection >= 2 && IsCode(x, kStationEvent)) seen.insert(ObjectOf(x.packet->payload));
            return !seen.empty() && *seen.rbegin() == kEvents;
        },
        kDeadlineMs));
    ASSERT_TRUE(host->WaitFor([&] {
        return std::any_of(host->returned.begin(), host->returned.end(),
                           [](const Bytes& p) { return ObjectOf(p) == 25; });
    }));

    std::set<int> returned;
    for (const auto& p : host->Returned()) returned.insert(ObjectOf(p));
    std::set<int> acknowledged;
    for (const auto& f : server.Frames()) {
        if (!IsCode(f, kStationEvent)) continue;
        const int object = ObjectOf(f.packet->payload);
        if (f.connection == 1) {
            EXPECT_TRUE(returned.count(object)) << "event " << object << " went out unanswered and was not kept";
        } else if (object != 25) {
            acknowledged.insert(object);
        }
    }
    EXPECT_TRUE(returned.count(25));
    EXPECT_EQ(returned.size(), 2u);  // the one frame on the silent connection, and 25 on the second
    for (int i = 1; i <= kEvents; ++i)
        EXPECT_TRUE(returned.count(i) || acknowledged.count(i)) << "event " << i << " is missing";
}

TEST_F(Z8Link, AcknowledgementDeletesOnlyTheSpoolFileOfTheAnsweredFrame) {
    using Outcome = drv::Z8LinkHost::SpoolOutcome;
    server.SetBehaviour({.ackEvents = true});
    StartLink();
    ASSERT_TRUE(WaitHandshake());
    ASSERT_TRUE(host->WaitFor([&] { return link->LinkConnected(); }));
    const std::string a = dir.file("A.ob8"), b = dir.file("B.ob8");
    dir.write("A.ob8", std::string(24, 'a'));
    dir.write("B.ob8", std::string(24, 'b'));

    // A live event acknowledged: no file is touched or reported.
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(1), PacketOrigin::LiveEvent));
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kStationEvent) == 1; }, kDeadlineMs));
    ASSERT_TRUE(link->QueuePacket(kPortStatus, PortStatusPayload("COM3", true)));  // a barrier: its answer follows
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return CountCode(f, kPortStatus) == 2; }, kDeadlineMs));
    EXPECT_TRUE(dir.exists("A.ob8"));
    EXPECT_TRUE(host->Resolved().empty());

    // Each file's own packet deletes that file; an acknowledgement for a file already gone deletes nothing.
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(2), PacketOrigin::SpoolFile, a));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(3), PacketOrigin::SpoolFile, b));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(4), PacketOrigin::SpoolFile, a));
    ASSERT_TRUE(host->WaitFor([&] { return host->resolved.size() == 3; }));
    const auto results = host->Resolved();
    const std::vector<std::pair<std::string, bool>> expected{{a, true}, {b, true}, {a, false}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(results[i].path, expected[i].first) << i;
        EXPECT_EQ(results[i].outcome, Outcome::Acknowledged) << i;
        EXPECT_EQ(results[i].existed, expected[i].second) << i;
    }
    EXPECT_FALSE(dir.exists("A.ob8"));
    EXPECT_FALSE(dir.exists("B.ob8"));
    EXPECT_TRUE(host->Returned().empty());
}

TEST_F(Z8Link, SendFailureHandsBackTheEvent) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1 && IsCode(f, kStationEvent)) {
            ServerAction close;
            close.closeBefore = true;
            return close;
        }
        return std::nullopt;
    });
    StartLink();
    ASSERT_TRUE(WaitHandshake());
    ASSERT_TRUE(host->WaitFor([&] { return link->LinkConnected(); }));
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(31), PacketOrigin::LiveEvent));
    ASSERT_TRUE(host->WaitFor([&] { return host->returned.size() == 1; }));
    // The connection is gone: the next event's send fails outright and it comes back too.
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(32), PacketOrigin::LiveEvent));
    ASSERT_TRUE(host->WaitFor([&] { return host->returned.size() == 2 || server.ConnectionCount() >= 2; }));
    ASSERT_TRUE(WaitHandshake(2));
    std::set<int> atServer2;
    for (const auto& f : server.Frames())
        if (f.connection == 2 && IsCode(f, kStationEvent)) atServer2.insert(ObjectOf(f.packet->payload));
    std::set<int> returned;
    for (const auto& p : host->Returned()) returned.insert(ObjectOf(p));
    EXPECT_TRUE(returned.count(31));
    EXPECT_TRUE(returned.count(32) || atServer2.count(32));
}

TEST_F(Z8Link, NoServerListening) {
    // A port that nothing listens on.
    const int port = server.Port();
    server.Stop();
    WritePort(port);
    auto t = Timings();
    t.attemptIntervalMs = 100;
    StartLink(t);
    ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение...") >= 3; }));
    link->Stop();
    EXPECT_FALSE(link->LinkConnected());
    EXPECT_EQ(host->CountLog("Соединение установлено."), 0u);
    EXPECT_EQ(static_cast<std::size_t>(host->IndicatorSteps()), host->CountLog("Соединение..."));
}

// A name server that answers only when told to; every lookup it was asked for is counted.
struct NameServerGate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int asked = 0;
    int loopbackPort = 0;  // > 0: names are answered with 127.0.0.1 and this port at once

    drv::NameLookup::Resolver Resolver(std::shared_ptr<NameServerGate> self) {
        return [self](const std::string&, int port, int family, std::vector<drv::ResolvedAddress>& out) {
            std::unique_lock lock(self->mutex);
            ++self->asked;
            self->cv.notify_all();
            if (self->loopbackPort > 0) return drv::NameLookup::SystemResolve("127.0.0.1", port, family, out);
            self->cv.wait(lock, [&] { return self->open; });
            return EAI_AGAIN;
        };
    }
    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

TEST_F(Z8Link, AHostNameIsLookedUpAndConnects) {
    std::ofstream(dir.file("drvorvel.ini")) << "[ServerHost]\nAddress=z8.centre.test\nPort=" << server.Port() << "\n";
    auto names = std::make_shared<NameServerGate>();
    names->loopbackPort = server.Port();
    StartLink(Timings(), names->Resolver(names));
    EXPECT_TRUE(WaitHandshake());
}

TEST_F(Z8Link, ASilentNameServerCostsOneAttemptAndNeverHoldsAStop) {
    std::ofstream(dir.file("drvorvel.ini")) << "[ServerHost]\nAddress=z8.centre.test\nPort=" << server.Port() << "\n";
    auto names = std::make_shared<NameServerGate>();
    auto t = Timings();
    t.attemptIntervalMs = 50;
    t.connectTimeoutMs = 100;
    StartLink(t, names->Resolver(names));
    // Each attempt gives up on its own lookup, and the next one starts.
    EXPECT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение...") >= 3; }));
    link->Stop();

    // With a connect time-out of ten minutes, a stop during the lookup still ends the thread at once.
    t.connectTimeoutMs = 600000;
    const int before = [&] {
        std::lock_guard lock(names->mutex);
        return names->asked;
    }();
    StartLink(t, names->Resolver(names));
    {
        std::unique_lock lock(names->mutex);
        ASSERT_TRUE(names->cv.wait_for(lock, std::chrono::seconds(20), [&] { return names->asked > before; }));
    }
    const auto start = std::chrono::steady_clock::now();
    link->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(host->CountLog("Соединение установлено."), 0u);
    names->Open();
}

TEST_F(Z8Link, StopInterruptsLongReadsAndHandsBackTheEventInFlight) {
    server.SetBehaviour({.silent = true});
    auto t = Timings();
    t.readTimeoutMs = 600000;
    t.replyDeadlineMs = 600000;
    StartLink(t);
    ASSERT_TRUE(server.WaitFor([](const auto& f) { return !f.empty(); }, kDeadlineMs));
    ASSERT_TRUE(host->WaitFor([&] { return link->LinkConnected(); }));
    // The hello waits for its answer; the event is queued behind the rest of the handshake.
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(41), PacketOrigin::LiveEvent));
    link->Stop();
    EXPECT_FALSE(link->LinkConnected());
    const auto left = link->TakeQueuedLiveEvents();
    ASSERT_EQ(left.size() + host->Returned().size(), 1u);
}

TEST_F(Z8Link, QueuedFromAnotherThreadWhileTheLinkSendsEveryEventIsAccountedFor) {
    server.SetBehaviour({.ackEvents = true, .pollAfterHello = true});
    StartLink();
    ASSERT_TRUE(host->WaitFor([&] { return link->LinkConnected(); }));
    const int kEvents = 400;
    std::set<int> refused;
    std::thread producer([&] {
        for (int i = 1; i <= kEvents; ++i) {
            if (!link->QueuePacket(kStationEvent, EventPayload(i), PacketOrigin::LiveEvent)) refused.insert(i);
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    producer.join();
    ASSERT_TRUE(server.WaitFor(
        [&](const auto& f) {
            return CountCode(f, kStationEvent) + refused.size() == static_cast<std::size_t>(kEvents);
        },
        kDeadlineMs));
    std::uint64_t lastSequence = 0;
    std::set<int> received;
    for (const auto& f : server.Frames()) {
        if (!IsCode(f, kStationEvent)) continue;
        EXPECT_GT(f.packet->sequence, lastSequence);
        lastSequence = f.packet->sequence;
        received.insert(ObjectOf(f.packet->payload));
    }
    for (int i = 1; i <= kEvents; ++i) EXPECT_TRUE(received.count(i) + refused.count(i) == 1) << i;
    EXPECT_EQ(link->NextSequenceNumber(), 4u + kEvents);
}

TEST_F(Z8Link, AnEventWhoseFileIsBeingWrittenIsLeftToItsWriterWhateverTheServerSays) {
    // The event is in flight when its writer takes it; the server then acknowledges it (the writer deletes the
    // file) or never answers (the file stays), and the link never hands it back a second time.
    const struct {
        const char* name;
        bool acknowledge;
        cl::DurableOutcome outcome;
    } cases[] = {{"acknowledged", true, cl::DurableOutcome::Delivered},
                 {"unanswered", false, cl::DurableOutcome::Undelivered}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drvtest::TempDir d;
        Z8Server s;
        std::ofstream(d.file("drvorvel.ini")) << "[ServerHost]\nAddress=127.0.0.1\nPort=" << s.Port() << "\n";
        std::promise<void> taken;
        std::shared_future<void> wasTaken = taken.get_future().share();
        s.SetScript([&c, wasTaken](const ReceivedFrame& f) -> std::optional<ServerAction> {
            if (!IsCode(f, kStationEvent)) return std::nullopt;
            wasTaken.wait();
            return c.acknowledge ? ServerAction{.bytes = ReplyFrame(kEventAcknowledged)} : ServerAction{};
        });
        auto h = std::make_shared<RecordingHost>();
        drv::Z8LinkConfig config;
        config.server = ServerIn(d.path());
        config.timings = Timings();
        cl l(h, config);
        ASSERT_TRUE(l.QueuePacket(kStationEvent, EventPayload(9), PacketOrigin::LiveEvent));
        l.Start();
        ASSERT_TRUE(s.WaitFor([](const auto& f) { return CountCode(f, kStationEvent) == 1; }, kDeadlineMs));
        const auto events = l.TakeEventsToMakeDurable(0);
        taken.set_value();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(l.TakeEventsToMakeDurable(0).empty());  // offered once
        // The handshake follows the event (on the same or the next connection) once its wait is over.
        ASSERT_TRUE(s.WaitFor([](const auto& f) { return CountCode(f, kHello) >= 1; }, kDeadlineMs));
        EXPECT_EQ(l.EventMadeDurable(events[0].sequence, d.file("E.ob8")), c.outcome);
        l.Stop();
        EXPECT_TRUE(h->Returned().empty());
        EXPECT_TRUE(l.TakeQueuedLiveEvents().empty());
        s.Stop();
    }
}

TEST_F(Z8Link, SleepsUntilAPacketIsQueuedOrThePollIsDueOnItsOwnTick) {
    auto clock = std::make_shared<ManualTick>();
    tick = clock->Source(clock);
    server.SetBehaviour({.ackEvents = true, .pollAfterHello = true});
    auto t = Timings();
    t.pollIntervalMs = 100;
    StartLink(t);
    // The attempt, the connection and the four answers of the handshake, polling switched on by the first.
    ASSERT_TRUE(host->WaitFor([&] { return host->indicatorSteps == 6; }));

    // The tick stands still, so no deadline falls due: what is queued leaves because it was queued.
    ASSERT_TRUE(link->QueuePacket(kStationEvent, EventPayload(7), PacketOrigin::LiveEvent));
    ASSERT_TRUE(host->WaitFor([&] { return host->indicatorSteps == 7; }));
    const int readsBefore = clock->reads.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // five poll intervals of real time
    EXPECT_LT(clock->reads.load() - readsBefore, 30);
    EXPECT_EQ(CountCode(server.Frames(), kPoll), 0u);

    for (std::size_t polls = 1; polls <= 2; ++polls) {
        clock->value += 101;
        ASSERT_TRUE(server.WaitFor([&](const auto& f) { return CountCode(f, kPoll) == polls; }, kDeadlineMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(CountCode(server.Frames(), kPoll), polls);
    }
}

TEST_F(Z8Link, StopEndsAWaitWithNoDeadlineAndOneAnHourAway) {
    for (const bool serverUp : {true, false}) {
        SCOPED_TRACE(serverUp ? "idle connection" : "next attempt in an hour");
        auto clock = std::make_shared<ManualTick>();
        tick = clock->Source(clock);
        auto t = Timings();
        t.attemptIntervalMs = 3600000;
        if (!serverUp) {
            const int port = server.Port();
            server.Stop();
            WritePort(port);
        }
        StartLink(t);
        ASSERT_TRUE(host->WaitFor([&] { return host->LogCount("Соединение...") == 1; }));
        if (serverUp) {
            ASSERT_TRUE(WaitHandshake());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the wait
        auto stopped = std::async(std::launch::async, [&] { link->Stop(); });
        ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        host = std::make_shared<RecordingHost>();
    }
}

TEST_F(Z8Link, AServerThatClosesAnIdleConnectionIsNoticedWithoutWaitingForTraffic) {
    server.SetScript([](const ReceivedFrame& f) -> std::optional<ServerAction> {
        if (f.connection == 1 && IsCode(f, kVersion))
            return ServerAction{.bytes = ReplyFrame(kPoll), .closeAfter = true};
        return std::nullopt;
    });
    StartLink();
    ASSERT_TRUE(WaitHandshake(2));
    EXPECT_EQ(host->CountLog("Соединение установлено."), 2u);
    EXPECT_EQ(server.Frames().size(), 8u);
}
