// The bytes of the Z8 protocol and the outbound ring.
#include "z8link/z8codec.h"

#include <gtest/gtest.h>

#include "tests/support/tempdir.h"
#include "z8link/Unit7.h"
#include "z8link/outboundring.h"

using namespace drv::z8;

namespace {

Bytes Event20() {
    Bytes e(20);
    for (int i = 0; i < 20; ++i) e[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    return e;
}

}  // namespace

TEST(Z8Codec, StationEventFrameIsTheDocumented59Bytes) {
    const Bytes frame = BuildFrame(BuildPacket(kStationEvent, 5, Event20()));
    ASSERT_EQ(frame.size(), 59u);
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 9), Bytes({0x26, 0, 0, 0}));
    EXPECT_EQ(Bytes(frame.begin() + 17, frame.begin() + 21), Bytes({0x26, 0, 0, 0}));
    const Bytes packet(frame.begin() + 21, frame.end());
    const Bytes header = Bytes({0xFF, 0x20, 0x00, 0x00, 0x03, 0x14, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0xFE});
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 18), header);
    EXPECT_EQ(Bytes(packet.begin() + 18, packet.end()), Event20());
}

TEST(Z8Codec, PollFrameAndServerAcknowledgement) {
    const Bytes poll = BuildFrame(BuildPollPacket());
    ASSERT_EQ(poll.size(), 39u);
    EXPECT_EQ(poll[5], 18);
    EXPECT_EQ(poll[17], 18);
    EXPECT_EQ(Bytes(poll.begin() + 21, poll.end()),
              Bytes({0xFF, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE}));

    const Bytes ack = BuildPacket(kEventAcknowledged, 77, nullptr, 0);
    EXPECT_EQ(Bytes(ack.begin(), ack.begin() + 9), Bytes({0xFF, 0x21, 0, 0, 3, 0, 0, 0, 0}));
}

TEST(Z8Codec, PortStatusPayload) {
    EXPECT_EQ(PortStatusPayload("COM3", true), Bytes({0x04, 0x43, 0x4F, 0x4D, 0x33, 0, 0, 0x01}));
    EXPECT_EQ(PortStatusPayload("COM255", false), Bytes({6, 'C', 'O', 'M', '2', '5', '5', 0}));
    EXPECT_EQ(PortStatusPayload("COM1234", true), Bytes({6, 'C', 'O', 'M', '1', '2', '3', 1}));
    EXPECT_EQ(PortStatusPayload("", false), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Z8Codec, HandshakePayloads) {
    EXPECT_EQ(HelloPayload(), Bytes({0x1C, 0x00}));
    EXPECT_EQ(FirstNumberPayload(4), Bytes({4}));
    EXPECT_EQ(FirstNumberPayload(0x1234), Bytes({0x34}));
    EXPECT_EQ(FirstNumberPayload(-1), Bytes({0xFF}));
}

TEST(Z8Codec, VersionPayloadFromVersionStrings) {
    EXPECT_EQ(VersionPayload("2.5.0.17"), Bytes({2, 0, 5, 0, 0, 0, 0x11, 0}));
    EXPECT_EQ(VersionPayload("7"), Bytes(8, 0));
    EXPECT_EQ(VersionPayload("1.2"), Bytes({1, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(VersionPayload("1.2.3.4.5"), Bytes({1, 0, 2, 0, 3, 0, 0, 0}));
    EXPECT_EQ(VersionPayload("x.65537.3.4"), Bytes({0, 0, 1, 0, 3, 0, 4, 0}));
    EXPECT_EQ(VersionPayload(""), Bytes(8, 0));
    EXPECT_EQ(VersionPayload("1.0.0.1"), Bytes({1, 0, 0, 0, 0, 0, 1, 0}));
}

TEST(Z8Codec, ReplyAcceptanceAndPrefix) {
    Bytes body = BuildPacket(kStartPolling, 9, nullptr, 0);
    EXPECT_TRUE(IsAcceptedReply(body.data(), body.size()));
    EXPECT_EQ(ReplyCode(body.data()), kStartPolling);
    EXPECT_FALSE(IsAcceptedReply(body.data(), 17));
    body[17] = 0x00;
    EXPECT_FALSE(IsAcceptedReply(body.data(), body.size()));
    body[17] = 0xFE;
    body[0] = 0xF0;
    EXPECT_FALSE(IsAcceptedReply(body.data(), body.size()));
    EXPECT_FALSE(IsAcceptedReply(nullptr, 0));
    // The length field is not checked against the body.
    Bytes longer = BuildPacket(kPoll, 0, Bytes(5, 1));
    PutU32(&longer[5], 999);
    EXPECT_TRUE(IsAcceptedReply(longer.data(), longer.size()));

    Bytes prefix = BuildFrame(BuildPollPacket());
    EXPECT_TRUE(ParsePrefix(prefix.data()).markerOk);
    EXPECT_EQ(ParsePrefix(prefix.data()).bodyLength, 18);
    prefix[0] = 0xF0;
    EXPECT_TRUE(ParsePrefix(prefix.data()).markerOk);
    prefix[0] = 0x00;
    EXPECT_FALSE(ParsePrefix(prefix.data()).markerOk);
    PutU32(&prefix[5], 0xFFFFFFFF);
    EXPECT_EQ(ParsePrefix(prefix.data()).bodyLength, -1);
}

TEST(Z8Codec, DecodePacketRoundTrip) {
    const auto view = DecodePacket(BuildPacket(kStationEvent, 0x0102030405060708ull, Event20()).data(), 38);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->code, kStationEvent);
    EXPECT_EQ(view->sequence, 0x0102030405060708ull);
    EXPECT_EQ(view->lengthField, 20);
    EXPECT_EQ(view->payload, Event20());
}

TEST(Z8Ring, FullEmptyAndWrap) {
    OutboundRing ring;
    EXPECT_TRUE(ring.Empty());
    EXPECT_FALSE(ring.Peek());
    ring.Remove();  // nothing happens
    EXPECT_TRUE(ring.Empty());
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(ring.Put({Bytes{static_cast<std::uint8_t>(i)}, PacketOrigin::Link, {}})) << i;
    EXPECT_TRUE(ring.Full());
    EXPECT_EQ(ring.Count(), 100u);
    EXPECT_FALSE(ring.Put({Bytes({200}), PacketOrigin::Link, {}}));
    EXPECT_EQ(ring.Peek()->packet, Bytes({0}));
    // Wrap around several times, oldest first throughout.
    int next = 100;
    for (int round = 0; round < 250; ++round) {
        ASSERT_EQ(ring.Peek()->packet[0], static_cast<std::uint8_t>(next - 100)) << round;
        ring.Remove();
        EXPECT_FALSE(ring.Full());
        ASSERT_TRUE(ring.Put({Bytes{static_cast<std::uint8_t>(next & 0xFF)}, PacketOrigin::LiveEvent, {}}));
        ++next;
        EXPECT_TRUE(ring.Full());
    }
    for (int i = 0; i < 100; ++i) ring.Remove();
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(ring.Count(), 0u);
}

// A link that is never started: the queue side alone.
class NullHost : public drv::Z8LinkHost {
public:
    void LogLine(const std::string&) override {}
    void IndicatorStep() override {}
    std::optional<HandshakeValues> ReadHandshakeValues() override { return std::nullopt; }
    void ReturnUndelivered(std::uint32_t, std::vector<std::uint8_t>) override {}
};

TEST(Z8Ring, SequenceNumbersGoOnPastARefusedPacket) {
    cl link(std::make_shared<NullHost>(), {});
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(link.QueuePacket(kStationEvent, Event20(), PacketOrigin::LiveEvent));
    EXPECT_FALSE(link.QueuePacket(kStationEvent, Event20(), PacketOrigin::LiveEvent));  // the 101st: number 100
    EXPECT_EQ(link.NextSequenceNumber(), 101u);
    EXPECT_EQ(link.QueuedCount(), 100u);

    // Once stopped, the caller gets every queued live event back, and further live events are refused.
    link.Stop();
    EXPECT_FALSE(link.QueuePacket(kStationEvent, Event20(), PacketOrigin::LiveEvent));
    const auto events = link.TakeQueuedLiveEvents();
    ASSERT_EQ(events.size(), 100u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto view = DecodePacket(events[i].packet.data(), events[i].packet.size());
        ASSERT_TRUE(view);
        EXPECT_EQ(view->sequence, i);
        EXPECT_EQ(view->payload, Event20());
    }
    EXPECT_EQ(link.QueuedCount(), 0u);
}
