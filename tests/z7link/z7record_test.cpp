// The Z7 records and the .obz names, byte for byte.
#include "z7link/z7record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/spool.h"
#include "tests/support/tempdir.h"

using namespace drv::z7;

TEST(Z7Record, FieldsSitAtTheirOffsetsAndEverythingElseIsZero) {
    const Record r = BuildRecord(kPortNumber, 12, -2);
    EXPECT_EQ(r.size(), 555u);
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[1], 0xFF);
    EXPECT_EQ(r[2], 50);
    EXPECT_EQ(r[3], 12);
    EXPECT_EQ((std::vector<int>{r[5], r[6], r[7], r[8]}), (std::vector<int>{0xFE, 0xFF, 0xFF, 0xFF}));
    for (std::size_t i : {std::size_t{4}, std::size_t{9}, std::size_t{30}, std::size_t{554}}) EXPECT_EQ(r[i], 0) << i;

    const Record status = BuildStatusRecord(kStationUp);
    EXPECT_EQ(status[2], 'I');
    EXPECT_EQ(ValueOf(status.data()), 9);
    EXPECT_EQ((std::vector<int>{status[5], status[6], status[7], status[8]}), (std::vector<int>{9, 0, 0, 0}));

    // 2026-12-09 12:00 is 46365.5: the double's little-endian bytes at offset 30.
    const Record clock = BuildClockRecord(46365.5);
    const std::vector<int> expected{0x00, 0x00, 0x00, 0x00, 0xB0, 0xA3, 0xE6, 0x40};
    EXPECT_EQ(std::vector<int>(clock.begin() + 30, clock.begin() + 38), expected);
    EXPECT_EQ(DateTimeOf(clock.data()), 46365.5);
    EXPECT_TRUE(HasSignature(clock.data()));
    Record bad = clock;
    bad[1] = 0xFE;
    EXPECT_FALSE(HasSignature(bad.data()));
}

TEST(Z7Record, PortNumberFollowsTheSeventhCharacter) {
    const struct {
        const char* name;
        std::optional<std::uint8_t> number;
    } cases[] = {
        {"\\\\.\\COM1", 1},
        {"\\\\.\\COM12", 12},
        {"\\\\.\\COM300", 44},
        {"\\\\.\\COM", std::nullopt},
        {"\\\\.\\COMx", std::nullopt},
        {"COM1", std::nullopt},
        {"\\\\.\\COM99999999999", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(PortNumberOf(c.name), c.number) << c.name;
}

TEST(Z7Record, OnlyACalendarTimeTheClockAcceptsSetsIt) {
    const auto target = ClockTarget(drv::EncodeDateTime({2026, 12, 9, 13, 5, 7, 250}));
    ASSERT_TRUE(target);
    EXPECT_EQ(target->year, 2026);
    EXPECT_EQ(target->msec, 250);
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1.0, 1e7})
        EXPECT_FALSE(ClockTarget(bad)) << bad;
}

TEST(Z7Record, AStreamIsCutIntoRecordsAndTheRestKept) {
    std::vector<std::uint8_t> pending;
    std::vector<std::uint8_t> stream;
    for (int code : {1, 2, 3}) {
        const Record r = BuildRecord(static_cast<std::uint8_t>(code));
        stream.insert(stream.end(), r.begin(), r.end());
    }
    // 1000 bytes: one record, 445 kept; 110 more complete the second.
    auto out = CutRecords(pending, stream.data(), 1000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(CodeOf(out[0].data()), 1);
    EXPECT_EQ(pending.size(), 445u);
    out = CutRecords(pending, stream.data() + 1000, 110);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(CodeOf(out[0].data()), 2);
    EXPECT_TRUE(pending.empty());
    out = CutRecords(pending, stream.data() + 1110, stream.size() - 1110);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(CodeOf(out[0].data()), 3);
    EXPECT_TRUE(CutRecords(pending, nullptr, 0).empty());
}

TEST(Z7Record, SpoolNamesOfTheWorkedExamples) {
    // The 5th at 10:20:30.456 gives the stamp 1BF7E378; n_abs 3 or absent (-1); no stamp when the time is none.
    const auto value = drv::SpoolTimeValue(drv::EncodeDateTime({2026, 12, 5, 10, 20, 30, 456}));
    ASSERT_TRUE(value);
    drvtest::TempDir dir;
    const std::string prefix = dir.path() + "/";
    const std::vector<std::uint8_t> bytes(555, 7);
    EXPECT_EQ(drv::WriteSpoolFile(prefix, value, SpoolSuffix(3), bytes).path, prefix + "1BF7E378_3.obz");
    EXPECT_EQ(drv::WriteSpoolFile(prefix, value, SpoolSuffix(-1), bytes).path, prefix + "1BF7E378_-1.obz");
    EXPECT_EQ(drv::WriteSpoolFile(prefix, std::nullopt, SpoolSuffix(3), bytes).path, prefix + "_3.obz");
    EXPECT_EQ(drvtest::ReadBytes(prefix + "_3.obz"), bytes);
}
