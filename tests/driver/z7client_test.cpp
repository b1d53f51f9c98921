// The driver object's side of the Z7 link (no window) against the Z7 server of the simulator on a loopback port:
// what the driver sends on every connection, how it cuts and handles what it receives, and its status records.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cmath>
#include <memory>

#include "driver/driver.h"
#include "serial/CPDrv.h"
#include "tests/support/coreapp.h"
#include "tests/support/tempdir.h"
#include "z7link/SimpleTCP.h"
#include "z7link/z7record.h"
#include "z7link/z7server.h"

using drvtest::WaitWithEvents;
using namespace drv::z7;

namespace {

std::vector<std::uint8_t> Join(std::initializer_list<Record> records) {
    std::vector<std::uint8_t> out;
    for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
    return out;
}

class Z7Client : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }

    void TearDown() override {
        driver.reset();
        server.Stop();
    }

    void Start(const std::string& mainLines = "SendZ7=1\nn_abs=3") {
        dir.write("drvorvel.ini", "[main]\nSendZ8=0\nhost=127.0.0.1\n" + mainLines + "\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock.wall = now;
        options.timer2IntervalMs = 0;  // no forwarding and no watchdog report between the records a test sends
        options.z7Port = static_cast<std::uint16_t>(server.Port());
        options.setClock = [this](const drv::DateTimeParts& p) {
            clockSet.push_back(p);
            closeRequestedBeforeClock = driver->State().RemoteCloseRequested;
            return 0;
        };
        driver = std::make_unique<drv::Driver>(&view, options);
        driver->Start();
    }

    bool WaitPieces(std::size_t n) {
        return WaitWithEvents([&] { return server.Pieces().size() >= n; });
    }

    std::vector<int> Codes() const {
        std::vector<int> out;
        for (const auto& p : server.Pieces()) out.push_back(CodeOf(p.bytes.data()));
        return out;
    }

    void Reconnect() {
        server.CloseConnection();
        ASSERT_TRUE(WaitWithEvents([&] { return !driver->Z7Connected; }));
        driver->Timer3Timer();
        ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7Connected; }));
    }

    drv::NowSource now = [] { return drv::EncodeDateTime({2026, 12, 5, 10, 20, 30, 456}); };
    drvtest::TempDir dir;
    Z7Server server;
    drvtest::RecordingView view;
    std::unique_ptr<drv::Driver> driver;
    std::vector<drv::DateTimeParts> clockSet;
    bool closeRequestedBeforeClock = false;
};

}  // namespace

TEST_F(Z7Client, EveryConnectionOpensWithHelloAndThePortNumber) {
    Start();
    driver->CommPortDriver1->SetPortName("\\\\.\\COM12");
    ASSERT_TRUE(WaitPieces(2));
    EXPECT_TRUE(driver->Z7Connected);
    EXPECT_TRUE(view.Of(drv::DriverView::Indicator::Z7).drawn);
    Reconnect();
    ASSERT_TRUE(WaitPieces(4));
    const auto pieces = server.Pieces();
    EXPECT_EQ(Codes(), (std::vector<int>{20, 50, 20, 50}));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(pieces[i].connection, i < 2 ? 1 : 2);
        EXPECT_EQ(pieces[i].bytes, BuildRecord(i % 2 == 0 ? 20 : 50, i % 2 == 0 ? 9 : 12));
    }
}

TEST_F(Z7Client, ACloseThenAClockRecordInOneDeliveryAreBothHandledInOrder) {
    Start();
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7Connected; }));
    const drv::TDateTime when = drv::EncodeDateTime({2027, 1, 2, 3, 4, 5, 600});
    server.Send(Join({BuildRecord(99), BuildRecord(kClose), BuildClockRecord(when)}));
    ASSERT_TRUE(WaitWithEvents([&] { return !clockSet.empty(); }));
    EXPECT_TRUE(driver->State().RemoteCloseRequested);
    EXPECT_TRUE(closeRequestedBeforeClock);
    ASSERT_EQ(clockSet.size(), 1u);
    EXPECT_EQ((std::vector<int>{clockSet[0].year, clockSet[0].month, clockSet[0].day, clockSet[0].hour,
                                clockSet[0].minute, clockSet[0].second, clockSet[0].msec}),
              (std::vector<int>{2027, 1, 2, 3, 4, 5, 600}));
    EXPECT_EQ(driver->Z7ActivityCounter, 3);
}

TEST_F(Z7Client, ARecordSpanningDeliveriesIsCompletedAndLeftoversOfALostLinkAreDropped) {
    Start();
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7Connected; }));
    const auto two = Join({BuildRecord(99), BuildRecord(98)});
    server.Send({two.begin(), two.begin() + 1000});
    ASSERT_TRUE(WaitWithEvents([&] { return driver->State().Z7ReceiveBuffer->size() == 445; }));
    EXPECT_EQ(driver->Z7ActivityCounter, 1);
    server.Send({two.begin() + 1000, two.begin() + 1110});
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7ActivityCounter == 2; }));
    EXPECT_TRUE(driver->State().Z7ReceiveBuffer->empty());

    server.Send({two.begin(), two.begin() + 100});  // a piece the lost link cuts off
    ASSERT_TRUE(WaitWithEvents([&] { return driver->State().Z7ReceiveBuffer->size() == 100; }));
    Reconnect();
    server.Send(Join({BuildRecord(97)}));
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7ActivityCounter == 3; }));
    EXPECT_TRUE(driver->State().Z7ReceiveBuffer->empty());
}

TEST_F(Z7Client, TheSeventeenthRecordWrapsTheIndicatorAndBadPiecesChangeNothing) {
    Start();
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7Connected; }));
    std::vector<std::uint8_t> sixteen;
    for (int i = 0; i < 16; ++i) {
        const Record r = BuildRecord(99);
        sixteen.insert(sixteen.end(), r.begin(), r.end());
    }
    server.Send(sixteen);
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7ActivityCounter == 16; }));
    // A piece without signature, a clock record whose time is no number, then one more record.
    std::vector<std::uint8_t> bad(kRecordSize, 0x5A);
    const auto rest = Join({BuildClockRecord(std::nan("")), BuildRecord(99)});
    bad.insert(bad.end(), rest.begin(), rest.end());
    server.Send(bad);
    ASSERT_TRUE(WaitWithEvents([&] { return driver->Z7ActivityCounter == 1; }));
    EXPECT_TRUE(clockSet.empty());
    EXPECT_TRUE(driver->State().Z7ReceiveBuffer->empty());
    EXPECT_FALSE(driver->State().RemoteCloseRequested);
}

TEST_F(Z7Client, WithoutSendZ7TheLinkIsNeverTried) {
    Start("SendZ7=0");
    driver->Timer3Timer();
    EXPECT_FALSE(driver->SimpleTCPClient1->ConnectionWanted());
    EXPECT_FALSE(view.Of(drv::DriverView::Indicator::Z7).drawn);
    EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(Z7Client, StatusRecordsGoOutWhileConnectedAndAreSpooledOtherwise) {
    Start();
    // Still connecting: spooled under the stamp of now and n_abs.
    driver->SendZ7Record(kStationUp);
    ASSERT_EQ(dir.list(".obz"), (std::vector<std::string>{"1BF7E378_3.obz"}));
    const auto spooled = drvtest::ReadBytes(dir.file("1BF7E378_3.obz"));
    EXPECT_EQ(spooled, Join({BuildRecord('I', 0, 9)}));

    ASSERT_TRUE(WaitPieces(2));
    driver->SendZ7Record(kStationLost);
    ASSERT_TRUE(WaitPieces(3));
    EXPECT_EQ(Codes(), (std::vector<int>{20, 50, 'H'}));
    EXPECT_EQ(server.Pieces()[2].bytes, BuildRecord('H', 0, 9));
    EXPECT_EQ(dir.list(".obz").size(), 1u);

    server.CloseConnection();
    ASSERT_TRUE(WaitWithEvents([&] { return !driver->Z7Connected; }));
    driver->SendZ7Record(kStationLost);
    EXPECT_EQ(dir.list(".obz"), (std::vector<std::string>{"1BF7E378_3.obz", "1BF7E379_3.obz"}));
}

TEST_F(Z7Client, ARecordSpooledWithoutATimeHasNoStamp) {
    now = [] { return std::nan(""); };
    Start();
    driver->SendZ7Record(kStationUp);
    driver->SendZ7Record(kStationUp);  // the bare name is taken: the first free stem
    EXPECT_EQ(dir.list(".obz"), (std::vector<std::string>{"0_3.obz", "_3.obz"}));
}

TEST_F(Z7Client, AFailedSendSpoolsTheRecord) {
    Start();
    ASSERT_TRUE(WaitPieces(2));
    server.SetReading(false);
    const int small = 4096;
    ::setsockopt(driver->SimpleTCPClient1->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    int calls = 0;
    while (driver->SimpleTCPClient1->Connected() && calls < 100000) {
        driver->SendZ7Record(kStationUp);
        ++calls;
    }
    EXPECT_FALSE(driver->Z7Connected);
    ASSERT_EQ(dir.list(".obz").size(), 1u);  // the one record the full buffer refused, whole
    EXPECT_EQ(drvtest::ReadBytes(dir.file(dir.list(".obz")[0])), Join({BuildRecord('I', 0, 9)}));
}
