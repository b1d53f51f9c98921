// The component's logic over a device in memory and a tick the test moves.
#include "serial/CPDrv.h"

#include <gtest/gtest.h>

#include <numeric>

#include "tests/serial/fakedevice.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Sequence(std::size_t n, std::uint8_t first = 0) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

class CommPortDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        drvtest::EnsureCoreApplication();
        auto device = std::make_unique<drvtest::FakeSerialDevice>(log);
        dev = device.get();
        port = std::make_unique<TCommPortDriver>(nullptr, std::move(device));
        port->SetClock({{}, [this] { return std::int64_t{tick}; }});
        port->SetOnReceivePacket([this](QObject* sender, const std::uint8_t* p, std::uint32_t n) {
            EXPECT_EQ(sender, port.get());
            packets.emplace_back(p, p + n);
            silences.push_back(port->PacketSilenceBefore());
        });
        port->SetOnReceiveData(
            [this](QObject*, const std::uint8_t* p, std::uint32_t n) { chunks.emplace_back(p, p + n); });
    }

    // The settings of the station's port in the main window.
    void StationSettings() {
        port->SetPort(pnCustom);
        port->SetPortName("\\\\.\\COM1");
        port->SetBaudRate(brCustom);
        port->SetHwFlow(hfRTSTOG);
        port->SetPacketSize(256);
        port->SetPacketTimeout(40);
        port->SetPacketMode(pmPass);
        port->SetPollingDelay(10);
    }

    std::shared_ptr<drvtest::FakeSerialDevice::Log> log = std::make_shared<drvtest::FakeSerialDevice::Log>();
    drvtest::FakeSerialDevice* dev = nullptr;
    std::unique_ptr<TCommPortDriver> port;
    std::uint32_t tick = 1000;
    // Polls every 10 ms until the tick has passed until; returns the ticks of the polls that delivered.
    std::vector<std::uint32_t> PollUntil(std::uint32_t until) {
        std::vector<std::uint32_t> at;
        for (; tick <= until; tick += 10) {
            const auto before = packets.size();
            port->PollReceive();
            if (packets.size() > before) at.push_back(tick);
        }
        return at;
    }

    static constexpr std::uint32_t kUnknown = TCommPortDriver::kSilenceUnknown;
    std::vector<Bytes> packets;
    std::vector<std::uint32_t> silences;  // of each packet, as the event saw them
    std::vector<Bytes> chunks;
};

TEST_F(CommPortDriverTest, DefaultsSetPortAndPortNameApart) {
    EXPECT_EQ(port->Port(), pnCOM2);
    EXPECT_EQ(port->PortName(), "\\\\.\\COM1");
    EXPECT_EQ(port->PortName().size(), 8u);
    EXPECT_EQ(port->BaudRate(), br9600);
    EXPECT_EQ(port->BaudRateValue(), 9600u);
    EXPECT_EQ(port->InBufSize(), 2048u);
    EXPECT_EQ(port->PacketSize(), -1);
    EXPECT_EQ(port->PacketTimeout(), -1);
    EXPECT_EQ(port->PacketMode(), pmDiscard);
    EXPECT_EQ(port->PollingDelay(), 50);
    EXPECT_EQ(port->HwFlow(), hfNONERTSON);
    EXPECT_TRUE(port->EnableDTROnOpen());
    EXPECT_FALSE(port->IsPortOpen());
}

TEST_F(CommPortDriverTest, PortAndPortNameFollowEachOtherOnlyWhileClosed) {
    port->SetPort(pnCOM12);
    EXPECT_EQ(port->PortName(), "\\\\.\\COM12");
    port->SetPort(pnCustom);
    EXPECT_EQ(port->PortName(), "\\\\.\\COM12");
    port->SetPort(pnCOM3);
    port->SetPortName("\\\\.\\COM7");
    EXPECT_EQ(port->Port(), pnCustom);

    ASSERT_TRUE(port->OpenPort());
    port->SetPortName("\\\\.\\COM9");
    port->SetPort(pnCOM4);
    EXPECT_EQ(port->PortName(), "\\\\.\\COM7");
    EXPECT_EQ(port->Port(), pnCustom);
    EXPECT_EQ(log->opened, std::vector<std::string>{"\\\\.\\COM7"});
}

TEST_F(CommPortDriverTest, RateWritesKeepRateAndValueTogether) {
    port->SetBaudRateValue(2400);
    EXPECT_EQ(port->BaudRate(), brCustom);
    port->SetBaudRate(brCustom);
    EXPECT_EQ(port->BaudRateValue(), 2400u);
    port->SetBaudRate(br115200);
    EXPECT_EQ(port->BaudRateValue(), 115200u);
    EXPECT_EQ(port->BaudRateOf(br256000), 256000u);
    EXPECT_EQ(port->BaudRateOf(brCustom), 115200u);
}

TEST_F(CommPortDriverTest, TransmitTimeRoundsHalfToEven) {
    EXPECT_EQ(port->TransmitTimeMs(br9600, 256), 267);
    EXPECT_EQ(port->TransmitTimeMs(br115200, 256), 22);
    port->SetBaudRateValue(4000);  // 2.5 ms a character
    EXPECT_EQ(port->TransmitTimeMs(brCustom, 1), 2);
    EXPECT_EQ(port->TransmitTimeMs(brCustom, 3), 8);
    port->SetBaudRateValue(0);
    EXPECT_EQ(port->TransmitTimeMs(brCustom, 256), 0);
}

TEST_F(CommPortDriverTest, BufferSizesAreClampedAndFixedWhileOpen) {
    port->SetInBufSize(100);
    EXPECT_EQ(port->InBufSize(), 128u);
    port->SetInBufSize(10000);
    EXPECT_EQ(port->InBufSize(), 8192u);
    port->SetOutBufSize(100);
    EXPECT_EQ(port->OutBufSize(), 128u);
    port->SetOutBufSize(10000);
    EXPECT_EQ(port->OutBufSize(), 8192u);

    ASSERT_TRUE(port->OpenPort());
    port->SetInBufSize(512);
    port->SetOutBufSize(512);
    EXPECT_EQ(port->InBufSize(), 8192u);
    EXPECT_EQ(port->OutBufSize(), 8192u);
}

TEST_F(CommPortDriverTest, PacketSizeNeverExceedsTheInputBuffer) {
    port->SetPacketSize(0);
    EXPECT_EQ(port->PacketSize(), -1);
    port->SetPacketSize(-7);
    EXPECT_EQ(port->PacketSize(), -1);
    port->SetPacketSize(4096);
    EXPECT_EQ(port->InBufSize(), 4096u);
    port->SetPacketSize(20000);
    EXPECT_EQ(port->InBufSize(), 8192u);
    EXPECT_EQ(port->PacketSize(), 8192);

    port->SetPacketSize(256);
    port->SetInBufSize(128);  // the packet is checked again: the buffer grows back to hold it
    EXPECT_EQ(port->InBufSize(), 256u);

    ASSERT_TRUE(port->OpenPort());
    port->SetPacketSize(1000);
    EXPECT_EQ(port->PacketSize(), 256);
    EXPECT_EQ(port->InBufSize(), 256u);

    port->SetPacketTimeout(0);
    EXPECT_EQ(port->PacketTimeout(), -1);
    port->SetPacketTimeout(-5);
    EXPECT_EQ(port->PacketTimeout(), -1);
}

TEST_F(CommPortDriverTest, PollingDelayRestartsTheTimerOnlyWhenItChanges) {
    port->SetPollingDelay(3);
    EXPECT_EQ(port->PollingDelay(), 5);
    ASSERT_TRUE(port->OpenPort());
    EXPECT_TRUE(port->PollTimerActive());
    EXPECT_EQ(port->PollTimerInterval(), 5);
    const unsigned starts = port->PollTimerStarts();
    port->SetPollingDelay(0);
    EXPECT_EQ(port->PollTimerStarts(), starts);
    port->SetPollingDelay(25);
    EXPECT_EQ(port->PollTimerStarts(), starts + 1);
    EXPECT_EQ(port->PollTimerInterval(), 25);
}

TEST_F(CommPortDriverTest, StationLineSettingsRecord) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    ASSERT_EQ(log->states.size(), 1u);
    const drv::Dcb& d = log->states[0];
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.fBinary, 1);
    EXPECT_EQ(d.fParity, 0);
    EXPECT_EQ(d.fOutxCtsFlow, 0);
    EXPECT_EQ(d.fDtrControl, drv::kDtrControlEnable);
    EXPECT_EQ(d.fRtsControl, drv::kRtsControlToggle);
    EXPECT_EQ(d.fOutX, 0);
    EXPECT_EQ(d.fInX, 0);
    EXPECT_EQ(d.XonLim, 512);
    EXPECT_EQ(d.XoffLim, 512);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, drv::kParityNone);
    EXPECT_EQ(d.StopBits, drv::kStopBitsOne);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(log->purges, 1);
    EXPECT_EQ(log->queues, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2048, 2048}}));
    EXPECT_EQ(log->timeouts, 1);
    EXPECT_EQ(port->PollTimerInterval(), 10);

    port->SetEnableDTROnOpen(false);
    port->SetHwFlow(hfRTSCTS);
    port->SetSwFlow(sfXONXOFF);
    port->SetDataBits(db7BITS);
    port->SetStopBits(sb2BITS);
    const drv::Dcb& e = log->states.back();
    EXPECT_EQ(e.fDtrControl, drv::kDtrControlDisable);
    EXPECT_EQ(e.fOutxCtsFlow, 1);
    EXPECT_EQ(e.fRtsControl, drv::kRtsControlHandshake);
    EXPECT_EQ(e.fOutX, 1);
    EXPECT_EQ(e.fInX, 1);
    EXPECT_EQ(e.ByteSize, 7);
    EXPECT_EQ(e.StopBits, drv::kStopBitsTwo);
}

TEST_F(CommPortDriverTest, OpenFailuresLeaveThePortClosedWithoutTimer) {
    dev->openResult = false;
    EXPECT_FALSE(port->OpenPort());
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_FALSE(port->PollTimerActive());
    EXPECT_EQ(log->closes, 0);

    dev->openResult = true;
    dev->commStateResult = false;
    EXPECT_FALSE(port->OpenPort());
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_FALSE(port->PollTimerActive());
    EXPECT_EQ(log->closes, 1);

    dev->commStateResult = true;
    dev->purgeResult = false;
    EXPECT_FALSE(port->OpenPort());
    EXPECT_EQ(log->closes, 2);

    dev->purgeResult = true;
    EXPECT_TRUE(port->OpenPort());
    EXPECT_TRUE(port->OpenPort());
    EXPECT_EQ(log->opened.size(), 4u);
    port->SetDtr(true);
    EXPECT_EQ(log->dtr, std::vector<bool>{true});
    port->ClosePort();
    port->ClosePort();
    EXPECT_EQ(log->closes, 3);
    EXPECT_FALSE(port->PollTimerActive());
    port->SetDtr(false);
    EXPECT_EQ(log->dtr.size(), 1u);
    EXPECT_FALSE(port->PurgeBuffers(true, true));
    EXPECT_FALSE(port->ApplyLineSettings());
}

TEST_F(CommPortDriverTest, ChangingParityWhileOpenDiscardsWaitingBytes) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(10));
    port->PollReceive();
    EXPECT_NE(port->PacketStartTick(), TCommPortDriver::kTickUnset);
    port->SetParity(ptEVEN);
    EXPECT_EQ(log->states.back().Parity, drv::kParityEven);
    EXPECT_TRUE(dev->rx.empty());
    EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kTickUnset);
    tick += 100;
    port->PollReceive();
    EXPECT_TRUE(packets.empty());
}

TEST_F(CommPortDriverTest, StreamModeHandsOnEveryChunkUpToTheBuffer) {
    ASSERT_TRUE(port->OpenPort());
    port->PollReceive();
    EXPECT_TRUE(chunks.empty());
    const Bytes data = Sequence(3000);
    dev->Queue(data);
    port->PollReceive();
    port->PollReceive();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], Bytes(data.begin(), data.begin() + 2048));
    EXPECT_EQ(chunks[1], Bytes(data.begin() + 2048, data.end()));
    EXPECT_TRUE(packets.empty());
}

TEST_F(CommPortDriverTest, FullPacketsAndTheRemainder) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    const Bytes data = Sequence(600);
    dev->Queue(data);
    port->PollReceive();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], Bytes(data.begin(), data.begin() + 256));
    EXPECT_EQ(packets[1], Bytes(data.begin() + 256, data.begin() + 512));
    EXPECT_EQ(port->BytesHeld(), 88u);
    EXPECT_EQ(port->PacketStartTick(), tick);

    // The remainder waits for more than the time-out, counted from the arrival of its bytes.
    tick += 40;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 2u);
    tick += 1;
    port->PollReceive();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[2], Bytes(data.begin() + 512, data.end()));
    EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kTickUnset);
}

TEST_F(CommPortDriverTest, ShortPacketAfterTheTimeOutHoldsEverythingQueuedByThen) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue({0x13, 0x22});
    port->PollReceive();
    EXPECT_EQ(port->PacketStartTick(), 1000u);
    EXPECT_TRUE(port->PacketTimerActive());  // set for the rest of the time-out
    tick += 10;
    dev->Queue({0x0A, 0x05});
    port->PollReceive();
    EXPECT_EQ(port->PacketStartTick(), 1000u);  // counted from the arrival of the packet's first byte
    tick += 30;
    port->PollReceive();
    EXPECT_TRUE(packets.empty());
    tick += 1;
    dev->Queue({0xE5});
    port->PollReceive();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{0x13, 0x22, 0x0A, 0x05, 0xE5}));
    EXPECT_EQ(silences[0], kUnknown);  // the first bytes since the port opened
    EXPECT_FALSE(port->PacketTimerActive());

    // Without a time-out an incomplete packet waits until it is full.
    port->SetPacketTimeout(0);
    dev->Queue(Sequence(100));
    port->PollReceive();
    tick += 100000;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 1u);
    dev->Queue(Sequence(156, 100));
    port->PollReceive();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[1], Sequence(256));
}

TEST_F(CommPortDriverTest, ASteadyStreamIsHandedOnInShortPacketsEveryTimeOut) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    // 9600 bit/s: about ten bytes reach the queue between two 10 ms polls, for 280 bytes, then silence.
    const Bytes stream = Sequence(280);
    std::vector<std::uint32_t> at;
    for (std::size_t off = 0; off < stream.size(); off += 10) {
        dev->Queue(Bytes(stream.begin() + static_cast<long>(off), stream.begin() + static_cast<long>(off + 10)));
        for (auto t : PollUntil(tick)) at.push_back(t);
    }
    for (auto t : PollUntil(tick + 100)) at.push_back(t);

    // Each packet goes at the first poll more than 40 ms after its first byte came: 1000 -> 1050, ...
    EXPECT_EQ(at, (std::vector<std::uint32_t>{1050, 1110, 1170, 1230, 1290}));
    Bytes joined;
    for (const auto& p : packets) joined.insert(joined.end(), p.begin(), p.end());
    EXPECT_EQ(joined, stream);
    EXPECT_EQ(silences, (std::vector<std::uint32_t>{kUnknown, 10, 10, 10, 10}));
}

TEST_F(CommPortDriverTest, SilenceBeforeEachPacketAfterQuietLinesFullPacketsAndReopens) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue({0x13, 0x22, 0x0A, 0x05});  // alone in a quiet line, the first since the open
    PollUntil(1100);
    dev->Queue(Sequence(300));  // 120 ms later: a full packet, then the rest that came with it
    PollUntil(1200);
    port->ClosePort();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(10));  // nothing before it on this open
    PollUntil(tick + 60);
    dev->vanished = true;
    PollUntil(tick);
    ASSERT_FALSE(port->IsPortOpen());
    dev->vanished = false;
    port->TryReopen();
    ASSERT_TRUE(port->IsPortOpen());
    dev->Queue(Sequence(10));  // nor across a device that vanished and was opened again
    PollUntil(tick + 60);
    EXPECT_EQ(silences, (std::vector<std::uint32_t>{kUnknown, 110, 0, kUnknown, kUnknown}));
    EXPECT_EQ(port->PacketSilenceBefore(), kUnknown);  // outside the event
}

TEST_F(CommPortDriverTest, DiscardModeDropsShortPacketsButPassesFullOnes) {
    StationSettings();
    port->SetPacketMode(pmDiscard);
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(300));
    port->PollReceive();
    ASSERT_EQ(packets.size(), 1u);
    tick += 41;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_TRUE(dev->rx.empty());
    dev->Queue({0x13, 0x22, 0x0A, 0x05});
    port->PollReceive();
    tick += 41;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_TRUE(dev->rx.empty());
}

TEST_F(CommPortDriverTest, TimeOutSurvivesTheTickWrap) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    tick = 0xFFFFFFF0u;
    dev->Queue({1, 2, 3});
    port->PollReceive();
    tick = 0x00000018u;  // 40 ms later
    port->PollReceive();
    EXPECT_TRUE(packets.empty());
    tick = 0x00000019u;
    port->PollReceive();
    ASSERT_EQ(packets.size(), 1u);

    // A tick that happens to be the unset mark still starts the wait.
    tick = TCommPortDriver::kTickUnset;
    dev->Queue({4});
    port->PollReceive();
    EXPECT_NE(port->PacketStartTick(), TCommPortDriver::kTickUnset);
    tick += 42;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 2u);
}

TEST_F(CommPortDriverTest, LeftoverOfAFastBurstStillWaitsItsTimeOut) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(10));
    port->PollReceive();  // start tick 1000
    tick += 10;
    dev->Queue(Sequence(590, 10));  // far faster than 9600 bit/s allows
    port->PollReceive();
    EXPECT_EQ(packets.size(), 2u);
    EXPECT_EQ(port->PacketStartTick(), tick);
    tick += 20;
    port->PollReceive();
    EXPECT_EQ(packets.size(), 2u);
    tick += 21;
    port->PollReceive();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[2].size(), 88u);
}

TEST_F(CommPortDriverTest, AFailedReadKeepsTheBytesAlreadyTaken) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    dev->Queue({1, 2});
    port->PollReceive();
    dev->failReads = true;
    tick += 41;
    port->PollReceive();
    EXPECT_EQ(packets, std::vector<Bytes>{(Bytes{1, 2})});
    EXPECT_EQ(port->PacketStartTick(), TCommPortDriver::kTickUnset);
}

TEST_F(CommPortDriverTest, AnEventThatClosesThePortEndsThePoll) {
    StationSettings();
    ASSERT_TRUE(port->OpenPort());
    int calls = 0;
    port->SetOnReceivePacket([&](QObject*, const std::uint8_t*, std::uint32_t) {
        ++calls;
        port->PollReceive();  // a nested poll (from a modal window's loop) does nothing while an event runs
        port->ClosePort();
    });
    dev->Queue(Sequence(800));
    port->PollReceive();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_EQ(log->readSizes.size(), 1u);

    // Reopened from the event: the interrupted poll does not go on with the new open.
    port->SetOnReceivePacket([&](QObject*, const std::uint8_t*, std::uint32_t) {
        ++calls;
        port->ClosePort();
        port->OpenPort();
    });
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(800));
    port->PollReceive();
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(port->IsPortOpen());
}

TEST_F(CommPortDriverTest, UnassignedEventsStillConsumeTheBytes) {
    StationSettings();
    port->SetOnReceivePacket({});
    ASSERT_TRUE(port->OpenPort());
    dev->Queue(Sequence(300));
    port->PollReceive();
    EXPECT_TRUE(dev->rx.empty());
    EXPECT_EQ(port->BytesHeld(), 44u);
}

TEST_F(CommPortDriverTest, TheTimerPollsOnTheEventLoop) {
    StationSettings();
    port->SetClock({});
    ASSERT_TRUE(port->OpenPort());
    dev->Queue({0x13, 0x22, 0x0A, 0x05});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (packets.empty() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{0x13, 0x22, 0x0A, 0x05}));
    port->ClosePort();
    EXPECT_FALSE(port->PollTimerActive());
}

TEST_F(CommPortDriverTest, ALostDeviceIsReopenedUnderItsNameWithItsSettingsUntilAStop) {
    StationSettings();
    std::vector<bool> changes;
    port->SetOnDeviceChange([&](QObject* sender, bool present) {
        EXPECT_EQ(sender, port.get());
        changes.push_back(present);
    });
    EXPECT_EQ(port->ReopenInterval(), 2000);
    ASSERT_TRUE(port->OpenPort());
    dev->Queue({0x13, 0x22});
    dev->vanished = true;
    dev->openResult = false;
    port->PollReceive();
    EXPECT_EQ(changes, std::vector<bool>{false});
    EXPECT_FALSE(port->IsPortOpen());
    EXPECT_TRUE(port->Reopening());
    EXPECT_FALSE(port->PollTimerActive());
    EXPECT_EQ(log->closes, 1);
    EXPECT_TRUE(packets.empty());

    port->SetPortName("\\\\.\\COM9");  // ignored: the attempts reopen the lost port only
    EXPECT_FALSE(port->OpenPort());    // one attempt at once, the attempts go on
    EXPECT_TRUE(port->Reopening());

    dev->vanished = false;
    dev->openResult = true;
    port->SetReopenInterval(1);
    port->SetClock({});  // the attempts are spaced on the real tick
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!port->IsPortOpen() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ASSERT_TRUE(port->IsPortOpen());
    EXPECT_FALSE(port->Reopening());
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    EXPECT_TRUE(port->PollTimerActive());
    for (const auto& name : log->opened) EXPECT_EQ(name, "\\\\.\\COM1");
    ASSERT_EQ(log->states.size(), 2u);
    EXPECT_EQ(log->states[1], log->states[0]);

    // A stop during an outage ends the attempts.
    dev->vanished = true;
    port->PollReceive();
    ASSERT_TRUE(port->Reopening());
    port->ClosePort();
    EXPECT_FALSE(port->Reopening());
    const std::size_t attempts = log->opened.size();
    port->TryReopen();
    EXPECT_EQ(log->opened.size(), attempts);
    EXPECT_EQ(changes.size(), 3u);
}

}  // namespace
