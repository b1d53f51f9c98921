// The asynchronous TCP client against real loopback sockets, driven by the Qt event loop; the peer is a plain
// socket of the test.
#include "z7link/SimpleTCP.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <QTimer>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "platform/faults.h"
#include "platform/uniquefd.h"
#include "tests/support/qtapp.h"

using drv::UniqueFd;
using drvtest::WaitWithEvents;
using Log = std::vector<std::string>;

namespace {

// A socket bound to address:port (port 0: any); listening unless told otherwise (then a connection is refused).
UniqueFd Bound(const char* address, int port, bool listening = true) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    if (listening && ::listen(fd.get(), 4) != 0) return {};
    return fd;
}

int PortOf(const UniqueFd& fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// The next connection of a listening socket; invalid when none comes within the deadline.
UniqueFd Accept(const UniqueFd& listener, int timeoutMs = 20000) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return {};
    return UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

void Write(const UniqueFd& fd, std::size_t size, std::uint8_t fill) {
    const std::vector<std::uint8_t> bytes(size, fill);
    ASSERT_EQ(::send(fd.get(), bytes.data(), size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
}

std::vector<std::uint8_t> ReadExactly(const UniqueFd& fd, std::size_t size) {
    std::vector<std::uint8_t> out(size);
    std::size_t done = 0;
    while (done < size) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) break;
        const ssize_t n = ::recv(fd.get(), out.data() + done, size - done, 0);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return out;
}

class SimpleTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        drvtest::TestApp();
        client = std::make_unique<TSimpleTCPClient>();
        client->Host = std::string("127.0.0.1");
        client->OnConnected = [this](QObject*) { log.push_back("connected"); };
        client->OnDisconnected = [this](QObject*) { log.push_back("disconnected"); };
        client->OnError = [this](QObject*, int, std::int32_t code, const std::string& text) {
            log.push_back("error " + std::to_string(code) + " " + text);
        };
        client->OnRead = [this](QObject*, const std::vector<std::uint8_t>& s) { reads.push_back(s); };
    }

    // Connects to the listener and returns the peer's end.
    UniqueFd Connect(const UniqueFd& listener) {
        client->Port = static_cast<std::uint16_t>(PortOf(listener));
        client->SetConnected(true);
        EXPECT_TRUE(WaitWithEvents([&] { return client->Connected(); }));
        return Accept(listener);
    }

    std::unique_ptr<TSimpleTCPClient> client;
    Log log;
    std::vector<std::vector<std::uint8_t>> reads;
};

}  // namespace

TEST_F(SimpleTcpTest, ARefusedConnectionEndsIdleWithDisconnectedThenError) {
    const UniqueFd closed = Bound("127.0.0.1", 0, false);  // bound, not listening: connections are refused
    client->Port = static_cast<std::uint16_t>(PortOf(closed));
    client->SetConnected(false);  // idle: nothing happens
    client->SetConnected(true);
    client->SetConnected(true);  // already wanted: nothing happens
    ASSERT_TRUE(WaitWithEvents([&] { return log.size() >= 2; }));
    EXPECT_EQ(log, (Log{"disconnected", "error 10061 Connection refused"}));
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(client->ConnectionWanted());
    EXPECT_EQ(client->SocketHandle(), -1);
}

TEST_F(SimpleTcpTest, ANormalCloseGivesDisconnectedTwiceThenAutoTryReconnectConnectsAgain) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    client->AutoTryReconnect = true;
    UniqueFd peer = Connect(listener);
    ASSERT_TRUE(peer);
    peer.reset();
    ASSERT_TRUE(WaitWithEvents([&] { return log.size() >= 4; }));
    EXPECT_EQ(log, (Log{"connected", "disconnected", "disconnected", "connected"}));
    EXPECT_TRUE(Accept(listener));
}

TEST_F(SimpleTcpTest, EverythingReadableComesInOneReadAndAPieceMaySpanTwo) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    const UniqueFd peer = Connect(listener);
    ASSERT_TRUE(peer);
    // Three writes before the event loop looks: one OnRead with all of them.
    Write(peer, 555, 1);
    Write(peer, 555, 2);
    Write(peer, 555, 3);
    ASSERT_TRUE(WaitWithEvents([&] {
        std::size_t total = 0;
        for (const auto& r : reads) total += r.size();
        return total >= 3 * 555;
    }));
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0][0], 1);
    EXPECT_EQ(reads[0][3 * 555 - 1], 3);
    // One record in two deliveries.
    Write(peer, 300, 4);
    ASSERT_TRUE(WaitWithEvents([&] { return reads.size() == 2; }));
    Write(peer, 255, 4);
    ASSERT_TRUE(WaitWithEvents([&] { return reads.size() == 3; }));
    EXPECT_EQ(reads[1].size(), 300u);
    EXPECT_EQ(reads[2].size(), 255u);
}

TEST_F(SimpleTcpTest, SendStreamGivesTheCountZeroWithoutSocketAndFailsWhileConnecting) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    const std::vector<std::uint8_t> record(555, 0xAB);
    EXPECT_EQ(client->SendStream(record), 0);  // no socket
    EXPECT_TRUE(log.empty());

    client->Port = static_cast<std::uint16_t>(PortOf(listener));
    client->SetConnected(true);  // the attempt is under way until the event loop announces its completion
    EXPECT_EQ(client->SendStream(record), -1);
    EXPECT_EQ(log, (Log{"disconnected", "error 10057 Socket is not connected"}));
    EXPECT_FALSE(client->ConnectionWanted());
    Accept(listener);  // the abandoned attempt

    log.clear();
    const UniqueFd peer = Connect(listener);
    ASSERT_TRUE(peer);
    EXPECT_EQ(client->SendStream({}), 0);
    EXPECT_EQ(client->SendStream(record), 555);
    EXPECT_EQ(ReadExactly(peer, 555), record);
    EXPECT_EQ(log, (Log{"connected"}));
}

TEST_F(SimpleTcpTest, ASendTheBufferTakesOnlyInPartClosesTheLink) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    const int small = 4096;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const UniqueFd peer = Connect(listener);  // and never reads
    ASSERT_TRUE(peer);
    ::setsockopt(client->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::vector<std::uint8_t> record(555, 0x11);
    int sent = 0;
    std::int32_t result = 0;
    while (sent < 100000 && (result = client->SendStream(record)) == 555) ++sent;
    EXPECT_EQ(result, -1);
    EXPECT_GT(sent, 0);
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(client->SocketHandle(), -1);
    EXPECT_EQ(log, (Log{"connected", "disconnected", "error 10035 Operation would block"}));
}

TEST_F(SimpleTcpTest, HostChangesTakeEffectAtTheNextAttemptOrAreRefusedWhileConnected) {
    UniqueFd first = Bound("127.0.0.1", 0);
    const int port = PortOf(first);
    const UniqueFd second = Bound("127.0.0.2", port);
    if (!second) GTEST_SKIP() << "127.0.0.2:" << port << " is taken";
    client->Port = static_cast<std::uint16_t>(port);
    client->SetConnected(true);
    client->Host = std::string("127.0.0.2");  // while connecting: the pending attempt keeps its address
    ASSERT_TRUE(WaitWithEvents([&] { return client->Connected(); }));
    EXPECT_TRUE(Accept(first));
    client->SetConnected(false);
    client->SetConnected(true);
    ASSERT_TRUE(WaitWithEvents([&] { return client->Connected(); }));
    EXPECT_TRUE(Accept(second));

    EXPECT_THROW(client->Host = std::string("127.0.0.1"), std::runtime_error);
    EXPECT_EQ(client->Host.Value(), "127.0.0.2");
    client->AllowChangeHostAndPortOnConnection = true;
    client->Host = std::string("127.0.0.1");
    ASSERT_TRUE(WaitWithEvents([&] { return client->Connected(); }));
    EXPECT_TRUE(Accept(first));
    EXPECT_EQ(log, (Log{"connected", "disconnected", "connected", "disconnected", "connected"}));
}

TEST_F(SimpleTcpTest, ANameIsLookedUpWhileTheEventLoopGoesOnAndAbandoningItWaitsForNothing) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    // The name server answers only once the main thread's timer has fired five times meanwhile.
    auto open = std::make_shared<std::atomic<bool>>(false);
    client->SetResolver([open](const std::string& host, int port, int family, std::vector<drv::ResolvedAddress>& out) {
        while (!*open) ::poll(nullptr, 0, 2);
        if (host != "z7.example") return EAI_NONAME;
        return drv::NameLookup::SystemResolve("127.0.0.1", port, family, out);
    });
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { *open = ++ticks >= 5; });
    timer.start(5);
    client->Host = std::string("z7.example");
    client->Port = static_cast<std::uint16_t>(PortOf(listener));
    client->SetConnected(true);
    EXPECT_EQ(client->SocketHandle(), -1);
    ASSERT_TRUE(WaitWithEvents([&] { return client->Connected(); }));
    EXPECT_GE(ticks, 5);
    EXPECT_TRUE(Accept(listener));

    // A name that is not found: the close finds no socket, then the lookup's failure.
    client->SetConnected(false);
    log.clear();
    client->Host = std::string("nowhere.example");
    client->SetConnected(true);
    ASSERT_TRUE(WaitWithEvents([&] { return log.size() >= 2; }));
    EXPECT_EQ(log, (Log{"error 10038 Socket operation on non-socket", "error 10014 Bad address"}));

    // A lookup still running is abandoned at once, and the client goes without waiting for it.
    timer.stop();
    *open = false;
    log.clear();
    client->SetConnected(true);
    client->SetConnected(false);
    EXPECT_EQ(log, (Log{"disconnected"}));
    client.reset();
    *open = true;
}

TEST_F(SimpleTcpTest, ANotificationOfAClosedSocketActsOnNothing) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    UniqueFd peer = Connect(listener);
    ASSERT_TRUE(peer);
    // Bytes and the peer's close wait together; the reader closes and reconnects before the close is seen, and
    // the new socket likely reuses the descriptor number.
    client->OnRead = [this](QObject*, const std::vector<std::uint8_t>&) {
        client->SetConnected(false);
        client->SetConnected(true);
    };
    Write(peer, 10, 7);
    peer.reset();
    ASSERT_TRUE(WaitWithEvents([&] { return log.size() >= 3; }));
    const UniqueFd again = Accept(listener);
    ASSERT_TRUE(again);
    WaitWithEvents([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(log, (Log{"connected", "disconnected", "connected"}));
    EXPECT_TRUE(client->Connected());
}

TEST_F(SimpleTcpTest, AFaultInAHandlerEndsOnlyThatNotification) {
    const UniqueFd listener = Bound("127.0.0.1", 0);
    const unsigned long before = drv::FaultCount();
    client->OnConnected = [](QObject*) { throw std::runtime_error("handler fault"); };
    const UniqueFd peer = Connect(listener);
    ASSERT_TRUE(peer);
    EXPECT_EQ(drv::FaultCount(), before + 1);
    Write(peer, 5, 1);
    ASSERT_TRUE(WaitWithEvents([&] { return reads.size() == 1; }));
}

TEST(SimpleTcpErrors, ErrnoValuesAndTextsOfTheReports) {
    const struct {
        int err;
        std::int32_t code;
        const char* text;
    } cases[] = {
        {ECONNREFUSED, 10061, "Connection refused"},
        {ECONNRESET, 10054, "Connection reset by peer"},
        {EAGAIN, 10035, "Operation would block"},
        {ETIMEDOUT, 10060, "Connection timed out"},
        {ENOTSOCK, 10038, "Socket operation on non-socket"},
        {EHOSTUNREACH, 10065, "No route to host"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SocketErrorCode(c.err), c.code) << c.err;
        EXPECT_EQ(SocketErrorText(c.code), c.text);
    }
    EXPECT_EQ(SocketErrorText(11001), "Host not found");
    EXPECT_EQ(SocketErrorText(12345), "Not a WinSock error ?");
}
