// Spool files left behind by a crash, and the events that wait in memory while no spool file can be written.
#include "core/spool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "core/driverfiles.h"
#include "core/spoolbacklog.h"
#include "core/spoolrescue.h"
#include "tests/support/tempdir.h"

namespace {

std::string Ob8(std::uint8_t object) {
    std::string bytes("\x20\x00\x00\x03", 4);
    bytes += std::string(20, '\0');
    bytes[4] = static_cast<char>(object);
    return bytes;
}

}  // namespace

TEST(LeftoverSpoolFiles, WholeRecordsAreFinishedOthersSetAsideLiveWritersLeftAlone) {
    drvtest::TempDir dir;
    dir.write("2BE1C0D2.ob8", Ob8(1));                         // the final name is taken
    dir.write("2BE1C0D2.ob8.4001.part", Ob8(2));               // whole: goes to the next free name
    dir.write("5265C00.ob8.4002.part", Ob8(3).substr(0, 10));  // cut short
    dir.write("5265C01.ob8.4003.part", std::string(24, 'x'));  // 24 bytes, but no event code
    dir.write("A_-1.obz.4004.part", std::string(555, 'z'));    // whole Z7 record
    dir.write("5265C02.ob8.4005.part", Ob8(4));                // its writer still runs
    dir.write("notes.part", "x");                              // not a spool file
    const auto done = drv::FinishLeftoverSpoolFiles(dir.path() + "/", [](long pid) { return pid == 4005; });
    EXPECT_EQ(done.size(), 4u);
    EXPECT_EQ(dir.read("2BE1C0D3.ob8"), Ob8(2));
    EXPECT_EQ(dir.read("2BE1C0D2.ob8"), Ob8(1));
    EXPECT_EQ(dir.read("A_-1.obz"), std::string(555, 'z'));
    EXPECT_EQ(dir.list(".bad"), (std::vector<std::string>{"5265C00.ob8.4002.bad", "5265C01.ob8.4003.bad"}));
    EXPECT_EQ(dir.list(".part"), (std::vector<std::string>{"5265C02.ob8.4005.part", "notes.part"}));
}

TEST(SpoolBacklog, KeepsOldestFirstRefusesBeyondCapacityAndWritesInOrder) {
    drv::SpoolBacklog backlog(2);
    std::vector<std::uint32_t> written;
    int error = ENOSPC;
    const auto write = [&](const drv::SpoolBacklog::Event& e) {
        if (error == 0) written.push_back(e.code);
        return error;
    };
    using O = drv::SpoolBacklog::Outcome;
    EXPECT_EQ(backlog.Store({1, {}}, write), O::Kept);
    EXPECT_EQ(backlog.Store({2, {}}, write), O::Kept);
    EXPECT_EQ(backlog.Store({3, {}}, write), O::Refused);
    EXPECT_EQ(backlog.TakeRefusedCount(), 1u);
    EXPECT_EQ(backlog.LastError(), ENOSPC);
    error = 0;
    // A new event goes behind those that wait.
    EXPECT_EQ(backlog.Store({4, {}}, write), O::Written);
    EXPECT_EQ(written, (std::vector<std::uint32_t>{1, 2, 4}));
    EXPECT_EQ(backlog.Waiting(), 0u);
}

// At a stop, events that neither the spool nor the rescue directory can take are counted in the error log; those
// the rescue directory took go into the spool at the next start under their own names.
TEST(SpoolRescue, WhatNoDiskTakesIsCountedAndWhatWasRescuedReturnsToTheSpool) {
    drvtest::TempDir dir("rescue");
    const std::vector<drv::SpoolBacklog::Event> events(2,
                                                       {drv::kOb8StationEventCode, std::vector<std::uint8_t>(20, 7)});
    dir.write(drv::kRescueDirectoryName, "a file where the rescue directory should be");
    EXPECT_EQ(
        drv::RescueEventsAtStop(events, dir.path(), dir.file("nowhere/"), ENOENT, 0x5265C00, dir.file("error.txt")),
        2u);
    EXPECT_EQ(dir.read("error.txt"), drv::ErrorLogEntry(12) + drv::ErrorLogEntry(12));

    std::filesystem::remove(dir.file(drv::kRescueDirectoryName));
    EXPECT_EQ(
        drv::RescueEventsAtStop(events, dir.path(), dir.file("nowhere/"), ENOENT, 0x5265C00, dir.file("error.txt")),
        0u);
    std::filesystem::create_directory(dir.file("spool"));
    dir.write("spool/5265C00.ob8", "taken");
    EXPECT_EQ(drv::ReturnRescuedEvents(dir.path(), dir.file("spool/")), 2u);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("spool"))) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"5265C00.ob8", "5265C01.ob8", "5265C02.ob8"}));
    EXPECT_EQ(drvtest::ReadBytes(dir.file("spool/5265C02.ob8")).size(), 24u);
    EXPECT_FALSE(std::filesystem::exists(dir.file(drv::kRescueDirectoryName)));
}
