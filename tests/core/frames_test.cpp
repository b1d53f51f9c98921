#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <random>

#include "core/config.h"
#include "core/driverfiles.h"
#include "core/spool.h"
#include "core/stationframe.h"
#include "tests/support/tempdir.h"

using drvtest::Bytes;

namespace {

struct Decoded {
    std::vector<drv::StationEvent> events;
    drv::StationEvent current{};
};

// Feeds deliveries to a decoder and collects the events, as the main window does.
void FeedInto(drv::FrameDecoder& d, Decoded& out, const std::vector<std::uint8_t>& delivery, drv::DeliveryLine line,
              std::int32_t firstNumber = 4) {
    d.Feed(delivery.data(), delivery.size(), line, [&](const std::uint8_t* f, int len) {
        drv::FillStationEvent(out.current, f, len, firstNumber);
        out.events.push_back(out.current);
    });
}

constexpr drv::DeliveryLine kAlone{};  // silence unknown: the delivery stands alone

std::vector<std::uint8_t> EventBytes(const drv::StationEvent& e) { return {e.begin(), e.end()}; }

}  // namespace

TEST(FrameDecoder, WorkedExamplesByteForByte) {
    drv::FrameDecoder d;
    Decoded out;
    FeedInto(d, out, Bytes({0x13, 0x22, 0x0A, 0x05}), kAlone);
    FeedInto(d, out, Bytes({0xE5, 0x01, 0xC3, 0x07, 0x09}), kAlone);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(EventBytes(out.events[0]),
              Bytes({0x62, 0x9F, 0x00, 0x00, 0x02, 0x30, 0x41, 0, 0, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x29}));
    EXPECT_EQ(drv::EventObjectNumber(out.events[1]), 69953);
    EXPECT_EQ(EventBytes(out.events[1]),
              Bytes({0x41, 0x11, 0x01, 0x00, 0x02, 'C', '3', 0, 0, 0x07, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0x29}));
}

TEST(FrameDecoder, SeveralFramesInOneDeliveryInOrder) {
    drv::FrameDecoder d;
    Decoded out;
    FeedInto(d, out, Bytes({0x13, 0x22, 0x0A, 0x05, 0xE5, 0x01, 0xC3, 0x07, 0x09, 0x10, 0x01, 0xFF, 0xAA}), kAlone);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(drv::EventObjectNumber(out.events[0]), 40802);
    EXPECT_EQ(drv::EventObjectNumber(out.events[1]), 69953);
    EXPECT_EQ(drv::EventObjectNumber(out.events[2]), 40001);
    EXPECT_EQ(out.events[2][5], 'F');
    EXPECT_EQ(out.events[2][6], 'F');
    EXPECT_EQ(out.events[2][9], 0xAA);
    EXPECT_EQ(out.events[2][10], 0x00);  // a 4-byte frame after a 5-byte one clears offset 10
}

TEST(FrameDecoder, AStrayIncompleteFrameIsDroppedOnlyAfterSilenceLongerThanTheGap) {
    struct Case {
        std::uint32_t silence;
        std::vector<std::int32_t> objects;
    };
    // 13 22 0A, then 05 E5 01 C3 07 09: completed across a pause up to the gap; after a longer one 05 starts anew.
    const Case cases[] = {{100, {40802, 69953}},
                          {101, {40000 + 5 * 256 + 0xE5}},
                          {drv::DeliveryLine::kUnknown, {40000 + 5 * 256 + 0xE5}}};
    for (const Case& c : cases) {
        drv::FrameDecoder d(100);
        Decoded out;
        FeedInto(d, out, Bytes({0x13, 0x22, 0x0A}), kAlone);
        EXPECT_EQ(d.PendingBytes(), 3);
        FeedInto(d, out, Bytes({0x05, 0xE5, 0x01, 0xC3, 0x07, 0x09}), {c.silence});
        std::vector<std::int32_t> objects;
        for (const auto& e : out.events) objects.push_back(drv::EventObjectNumber(e));
        EXPECT_EQ(objects, c.objects) << c.silence;
    }
}

TEST(FrameDecoder, FramesCutAtEveryByteAcrossDeliveriesArriveExact) {
    // Two frames (4 and 5 bytes) and a third, cut into two deliveries at every position, the second coming 1, 16,
    // 32 or 60 ms after the first's last byte, as USB adapters and relays hand them over.
    const std::vector<std::uint8_t> stream{0x13, 0x22, 0x0A, 0x05, 0xE5, 0x01, 0xC3,
                                           0x07, 0x09, 0x10, 0x01, 0xFF, 0xAA};
    for (std::uint32_t gap : {1u, 16u, 32u, 60u}) {
        for (std::size_t cut = 1; cut < stream.size(); ++cut) {
            drv::FrameDecoder d;
            Decoded out;
            const auto at = stream.begin() + static_cast<long>(cut);
            FeedInto(d, out, {stream.begin(), at}, kAlone);
            FeedInto(d, out, {at, stream.end()}, {gap});
            std::vector<std::int32_t> objects;
            for (const auto& e : out.events) objects.push_back(drv::EventObjectNumber(e));
            EXPECT_EQ(objects, (std::vector<std::int32_t>{40802, 69953, 40001})) << gap << " ms, cut " << cut;
        }
    }
}

TEST(FrameDecoder, LargestObjectNumberAndFirstNumberArithmetic) {
    drv::FrameDecoder d;
    Decoded out;
    FeedInto(d, out, Bytes({0xFF, 0xFF, 0x00, 0x00}), kAlone, 0);
    FeedInto(d, out, Bytes({0xFF, 0xFF, 0x00, 0x00}), kAlone, -1);
    FeedInto(d, out, Bytes({0x10, 0x00, 0x00, 0x00}), kAlone, 2147483647);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(drv::EventObjectNumber(out.events[0]), 32767);
    EXPECT_EQ(drv::EventObjectNumber(out.events[1]), 32767 - 10000);
    EXPECT_EQ(drv::EventObjectNumber(out.events[2]), static_cast<std::int32_t>(2147483647u * 10000u));
}

TEST(FrameDecoder, ArbitraryBytesNeverOverrun) {
    std::mt19937 rng(7);
    drv::FrameDecoder d;
    Decoded out;
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> data(rng() % 600);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        FeedInto(d, out, data, {static_cast<std::uint32_t>(rng() % 200)});
        ASSERT_LE(d.PendingBytes(), 4);
    }
    for (const auto& e : out.events) {
        EXPECT_EQ(e[19], 0x29);
        EXPECT_EQ(e[7] | e[8] | e[11] | e[18], 0);
    }
}

TEST(SpoolNames, WorkedExamples) {
    EXPECT_EQ(drv::SpoolTimeName(drv::EncodeDateTime({2026, 3, 1, 0, 0, 0, 0})), "5265C00");
    EXPECT_EQ(drv::SpoolTimeName(drv::EncodeDateTime({2026, 3, 8, 12, 30, 15, 250})), "2BE1C0D2");
    EXPECT_EQ(drv::SpoolTimeName(drv::EncodeDateTime({2026, 3, 25, 0, 0, 0, 0})), "80BEFC00");
    EXPECT_EQ(drv::SpoolTimeName(drv::EncodeDateTime({2026, 1, 31, 23, 59, 59, 999})), "A4CB7FFF");
    EXPECT_FALSE(drv::SpoolTimeName(std::nan("")));
}

TEST(SpoolFiles, Ob8HoldsCodeAndEventAndNameClashesKeepBoth) {
    drvtest::TempDir dir;
    const auto bytes =
        drv::BuildOb8(drv::kStationEventCode,
                      Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}).data(), 20);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4), Bytes({0x20, 0x00, 0x00, 0x03}));

    const std::string prefix = dir.path() + "/";
    const auto a = drv::WriteSpoolFile(prefix, 0x2BE1C0D2u, ".ob8", bytes);
    const auto b = drv::WriteSpoolFile(prefix, 0x2BE1C0D2u, ".ob8", Bytes({0x20, 0, 0, 3}));
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(a.path, prefix + "2BE1C0D2.ob8");
    EXPECT_EQ(b.path, prefix + "2BE1C0D3.ob8");
    EXPECT_EQ(drvtest::ReadBytes(a.path), bytes);
    EXPECT_EQ(drvtest::ReadBytes(b.path), Bytes({0x20, 0, 0, 3}));
    EXPECT_EQ(dir.list().size(), 2u);  // no temporary file left behind
}

TEST(SpoolFiles, PrefixIsUsedAsWrittenAndMissingDirectoryFails) {
    drvtest::TempDir dir;
    const auto r = drv::WriteSpoolFile(dir.path() + "/spool", 0x5265C00u, ".ob8", Bytes({1, 2, 3, 4}));
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(dir.exists("spool5265C00.ob8"));
    const auto bad = drv::WriteSpoolFile(dir.path() + "/missing/", 1u, ".ob8", Bytes({1, 2, 3, 4}));
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, ENOENT);
}

TEST(DriverFiles, ErrorLogEntriesAreWindows1251WithCrLf) {
    drvtest::TempDir dir;
    drv::AppendErrorLog(dir.file("error.txt"), 9);
    EXPECT_EQ(dir.read("error.txt"), std::string("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                                                 "9\r\n"));
    drv::AppendErrorLog(dir.file("error.txt"), 11);
    EXPECT_EQ(dir.read("error.txt"), std::string("\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                                                 "9\r\n\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
                                                 "11\r\n"));
    EXPECT_THROW(drv::AppendErrorLog(dir.file("none/error.txt"), 19), std::system_error);
}

TEST(DriverFiles, RawCaptureOnlyGrows) {
    drvtest::TempDir dir;
    dir.write("drvorvel.log", "old");
    drv::AppendRawCapture(dir.file("drvorvel.log"), Bytes({0x13, 0x22}).data(), 2);
    drv::AppendRawCapture(dir.file("drvorvel.log"), nullptr, 0);
    EXPECT_EQ(dir.read("drvorvel.log"), std::string("old\x13\x22"));
}

TEST(DriverFiles, IgnoreListMatchesTheFullObjectNumber) {
    drvtest::TempDir dir;
    drv::IgnoreList ignore;
    EXPECT_FALSE(ignore.IsIgnored(dir.file("ignore.ini"), 40802));
    dir.write("ignore.ini", "[Object]\n40802=1\n802=1\n40803=0\n40804=yes\n40805=0\n40805=1\n[object2]\n40806=1\n");
    EXPECT_TRUE(ignore.IsIgnored(dir.file("ignore.ini"), 40802));
    EXPECT_FALSE(ignore.IsIgnored(dir.file("ignore.ini"), 40803));
    EXPECT_FALSE(ignore.IsIgnored(dir.file("ignore.ini"), 40804));
    EXPECT_FALSE(ignore.IsIgnored(dir.file("ignore.ini"), 40805));  // the first of a repeated key counts
    EXPECT_FALSE(ignore.IsIgnored(dir.file("ignore.ini"), 40806));
    EXPECT_TRUE(ignore.IsIgnored(dir.file("ignore.ini"), 802));
}

TEST(DriverFiles, IgnoreListReadsTheFileAgainOnlyWhenItMayHaveChanged) {
    drvtest::TempDir dir;
    const std::string path = dir.file("ignore.ini");
    // Rewritten in place within the same timestamp tick, same size: a fresh file is read again at every call.
    drv::IgnoreList fresh;
    dir.write("ignore.ini", "[object]\n40802=1\n");
    EXPECT_TRUE(fresh.IsIgnored(path, 40802));
    dir.write("ignore.ini", "[object]\n40802=0\n");
    EXPECT_FALSE(fresh.IsIgnored(path, 40802));
    dir.write("ignore.ini", "[object]\n40803=1\n");
    EXPECT_TRUE(fresh.IsIgnored(path, 40803));

    // Seen an hour later the same file is read once, and a change is still seen at the next call.
    const auto later = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch() + std::chrono::hours(1))
                           .count();
    drv::IgnoreList settled([later] { return static_cast<std::int64_t>(later); });
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(settled.IsIgnored(path, 40803));
    EXPECT_EQ(settled.Reads(), 1u);
    dir.write("ignore.ini", "[object]\n40803=1\n40804=1\n");
    EXPECT_TRUE(settled.IsIgnored(path, 40804));
    ::unlink(path.c_str());
    EXPECT_FALSE(settled.IsIgnored(path, 40803));
    EXPECT_EQ(settled.Reads(), 2u);
}

TEST(DriverFiles, ClosePasswordIsAlwaysFiveDigitsBelow99999) {
    std::mt19937 rng(1);
    for (int i = 0; i < 100000; ++i) {
        const int v = std::stoi(drv::DrawClosePassword(rng));
        ASSERT_GE(v, 10000);
        ASSERT_LE(v, 99998);
    }
}

TEST(Config, DefaultsWithoutAFile) {
    drvtest::TempDir dir;
    const auto s = drv::LoadDriverSettings(dir.file("drvorvel.ini"));
    EXPECT_EQ(s.ComPort, "COM255");
    EXPECT_EQ(s.n_abs, -1);
    EXPECT_EQ(s.FirstNumber, 4);
    EXPECT_EQ(s.PathForSoob, "");
    EXPECT_FALSE(s.NotSendToDiskZ8);
    EXPECT_DOUBLE_EQ(s.Attention, 600.0 / 86400);
    EXPECT_FALSE(s.Log);
    EXPECT_FALSE(s.SendZ7);
    EXPECT_TRUE(s.SendZ8);
    EXPECT_EQ(s.ResyncGap, 100);
}

TEST(Config, ValuesAsTheProfileRulesReadThem) {
    drvtest::TempDir dir;
    dir.write(
        "drvorvel.ini",
        "[MAIN]\nComPort=COM3\nFirstNumber=abc\nSendZ8=false\nAttention=25:00:00\nLog=2\nn_abs=0x10\nResyncGap=0\n");
    auto s = drv::LoadDriverSettings(dir.file("drvorvel.ini"));
    EXPECT_EQ(s.ComPort, "COM3");
    EXPECT_EQ(s.FirstNumber, 4);
    EXPECT_TRUE(s.SendZ8);
    EXPECT_DOUBLE_EQ(s.Attention, 600.0 / 86400);
    EXPECT_TRUE(s.Log);
    EXPECT_EQ(s.n_abs, 16);
    EXPECT_EQ(s.ResyncGap, 100);  // below 1: the default
    dir.write("drvorvel.ini", "[main]\nSendZ8=0\nAttention=01:30\nFirstNumber=0x0A\nResyncGap=250\n");
    s = drv::LoadDriverSettings(dir.file("drvorvel.ini"));
    EXPECT_FALSE(s.SendZ8);
    EXPECT_DOUBLE_EQ(s.Attention, 5400.0 / 86400);
    EXPECT_EQ(s.FirstNumber, 10);
    EXPECT_EQ(s.ResyncGap, 250);
    EXPECT_DOUBLE_EQ(drv::ParseAttention("00:00:30"), 30.0 / 86400);
    EXPECT_DOUBLE_EQ(drv::ParseAttention("ten"), 600.0 / 86400);
}

namespace {

// A direct line: every frame arrives whole, in a chunk of its own, pauseMs after the one before.
struct DirectLine {
    drv::FrameDecoder decoder{100};
    Decoded out;
    bool first = true;
    void Send(const std::vector<std::uint8_t>& chunk, std::uint32_t pauseMs) {
        FeedInto(decoder, out, chunk, {first ? drv::DeliveryLine::kUnknown : pauseMs});
        first = false;
    }
};

std::vector<std::uint8_t> NumberedFrame(int i) {
    return i % 2 ? Bytes({0x01, static_cast<std::uint8_t>(i), 0x0A, 0x05, 0x07})
                 : Bytes({0x11, static_cast<std::uint8_t>(i), 0x0B, 0x06});
}

}  // namespace

TEST(FrameDecoder, OnADirectLineEachFaultCostsAtMostTheFrameItHits) {
    enum Fault { StrayByte, LostLastByte, TwoStrayBytes };
    for (const std::uint32_t pause : {20u, 45u, 95u}) {
        for (const Fault fault : {StrayByte, LostLastByte, TwoStrayBytes}) {
            DirectLine line;
            constexpr int kFrames = 30, kHit = 12;
            for (int i = 0; i < kFrames; ++i) {
                std::vector<std::uint8_t> chunk = NumberedFrame(i);
                if (i == kHit && fault == LostLastByte) chunk.pop_back();
                if (i == kHit && fault != LostLastByte) chunk.insert(chunk.begin(), fault == StrayByte ? 1 : 2, 0x00);
                line.Send(chunk, pause);
            }
            std::vector<drv::StationEvent> sent(kFrames, drv::StationEvent{});
            for (int i = 0; i < kFrames; ++i) {
                const auto f = NumberedFrame(i);
                drv::FillStationEvent(sent[static_cast<std::size_t>(i)], f.data(), static_cast<int>(f.size()), 4);
            }
            int wrong = 0, right = 0;
            for (const auto& e : line.out.events)
                std::find(sent.begin(), sent.end(), e) != sent.end() ? ++right : ++wrong;
            SCOPED_TRACE(testing::Message() << "pause " << pause << " fault " << fault);
            EXPECT_LE(wrong, 1);
            EXPECT_GE(right, kFrames - 1);
            EXPECT_EQ(line.decoder.GapInEffect(), drv::kResyncGapFloorMs);
        }
    }
}

TEST(FrameDecoder, TheGapComesDownOnWholeFramesGrowsAtOnceOnAChunkedOneAndRestartsAtTheCeiling) {
    DirectLine line;
    EXPECT_EQ(line.decoder.GapInEffect(), 100u);
    for (int i = 0; i < drv::FrameDecoder::kDirectFrames; ++i) line.Send(NumberedFrame(i), 40);
    EXPECT_EQ(line.decoder.GapInEffect(), drv::kResyncGapFloorMs);
    // The line starts handing frames over in two parts 16 ms apart: the first such frame still comes whole, and
    // the gap rises to fit.
    const auto frame = NumberedFrame(1);
    line.Send({frame.begin(), frame.begin() + 2}, 40);
    line.Send({frame.begin() + 2, frame.end()}, 16);
    EXPECT_EQ(line.decoder.GapInEffect(), 48u);
    EXPECT_EQ(line.out.events.size(), static_cast<std::size_t>(drv::FrameDecoder::kDirectFrames) + 1);
    // Whole frames no longer bring it down on a line that handed a frame over in parts.
    for (int i = 0; i < 2 * drv::FrameDecoder::kDirectFrames; ++i) line.Send(NumberedFrame(i), 40);
    EXPECT_EQ(line.decoder.GapInEffect(), 48u);
    EXPECT_EQ(line.decoder.Noise().resyncs, 0u);
    line.Send(NumberedFrame(0), drv::DeliveryLine::kUnknown);  // the port opened again
    EXPECT_EQ(line.decoder.GapInEffect(), 100u);
    line.decoder.Reset();  // the device was lost
    EXPECT_EQ(line.decoder.GapInEffect(), 100u);
}

TEST(FrameDecoder, ChunksOfOneDeliveryEachBringTheirSilence) {
    drv::FrameDecoder d(30);
    Decoded out;
    // 13 22 0A (cut), 25 ms, then a whole 4-byte frame 60 ms later within the same delivery: the stray part is
    // dropped at the second chunk, not taken into the frame.
    const auto bytes = Bytes({0x13, 0x22, 0x0A, 0x11, 0x05, 0x0B, 0x06});
    const drv::LineChunk chunks[] = {{0, drv::DeliveryLine::kUnknown}, {3, 60}};
    FeedInto(d, out, bytes, {0, chunks});
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(drv::EventObjectNumber(out.events[0]), 40000 + 256 + 5);
    EXPECT_EQ(d.Noise().bytesDropped, 3u);
    EXPECT_EQ(d.Noise().resyncs, 1u);
    EXPECT_EQ(d.DropNotice(1000),
              "station line: 3 bytes of an incomplete frame dropped after 60 ms of silence (gap 30 ms)");
    FeedInto(d, out, Bytes({0x13}), {100});
    FeedInto(d, out, Bytes({0x11, 0x05, 0x0B, 0x06}), {100});
    EXPECT_EQ(d.DropNotice(2000), "");  // at most one a minute
    EXPECT_NE(d.DropNotice(1000 + drv::FrameDecoder::kNoticeIntervalMs), "");
}
