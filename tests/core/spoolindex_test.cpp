// The index of pending spool files: which names a PathForSoob prefix covers, and the order of the files.
#include "core/spoolindex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/tempdir.h"

namespace {

TEST(SpoolPattern, ThePrefixIsAPlainPrefixOfFileNames) {
    struct Case {
        const char* prefix;
        const char* directory;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"/spool/", "/spool", "1BF7E378.ob8", true},
        {"/spool/", "/spool", ".ob8", true},  // the wildcard may be empty
        {"/spool/", "/spool", "1BF7E378.ob8.part", false},
        {"/spool/", "/spool", "1BF7E378.ob8.bad", false},
        {"/spool/", "/spool", "1BF7E378.obz", false},
        {"/spool/ev", "/spool", "ev1BF7E378.ob8", true},
        {"/spool/ev", "/spool", "1BF7E378.ob8", false},
        {"rel", ".", "rel5.ob8", true},
        {"/", "/", "5.ob8", true},
    };
    for (const auto& c : cases) {
        const drv::SpoolPattern p(c.prefix, ".ob8");
        EXPECT_EQ(p.directory, c.directory) << c.prefix;
        EXPECT_EQ(p.Matches(c.name), c.matches) << c.prefix << " " << c.name;
    }
    EXPECT_EQ(drv::SpoolPattern("/spool/ev", ".ob8").PathOf("ev1.ob8"), "/spool/ev1.ob8");
    EXPECT_EQ(drv::SpoolPattern("/", ".ob8").PathOf("1.ob8"), "/1.ob8");
}

TEST(SpoolIndex, OldestFirstThenByNameAndAMissingDirectoryKeepsWhatIsKnown) {
    drvtest::TempDir dir;
    auto age = [&](const std::string& name, int seconds) {
        dir.write(name, "x");
        const timespec t[2] = {{1700000000 + seconds, 0}, {1700000000 + seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), t, 0), 0);
    };
    age("b.ob8", 5);
    age("a.ob8", 5);
    age("z.ob8", 1);
    age("y.obz", 0);
    drv::SpoolIndex index(drv::SpoolPattern(dir.path() + "/", ".ob8"));
    ASSERT_TRUE(index.Rescan());
    EXPECT_EQ(index.Size(), 3u);
    EXPECT_EQ(index.First(), "z.ob8");
    index.Remove(dir.file("z.ob8"));
    EXPECT_EQ(index.First(), "a.ob8");
    index.SetInFlight("a.ob8", true);
    EXPECT_EQ(index.First(), "b.ob8");
    index.Add(dir.file("gone.ob8"));  // no such file: not taken in
    EXPECT_EQ(index.Size(), 2u);

    drv::SpoolIndex missing(drv::SpoolPattern(dir.file("nowhere") + "/", ".ob8"));
    EXPECT_FALSE(missing.Rescan());
    EXPECT_EQ(missing.First(), std::nullopt);
}

TEST(SpoolIndex, AFailingFileWaitsAGrowingPauseAndMarksOutliveARescan) {
    drvtest::TempDir dir;
    dir.write("a.ob8", "x");
    dir.write("b.ob8", "x");
    const timespec older[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("a.ob8").c_str(), older, 0), 0);
    drv::SpoolIndex index(drv::SpoolPattern(dir.path() + "/", ".ob8"));
    ASSERT_TRUE(index.Rescan());
    // 3 s, doubled at each failure, at most 5 minutes.
    const std::int64_t pauses[] = {3000, 6000, 12000, 24000, 48000, 96000, 192000, 300000, 300000};
    std::int64_t now = 0;
    for (const auto pause : pauses) {
        EXPECT_EQ(index.Defer("a.ob8", now), pause);
        EXPECT_EQ(index.First(now + pause), "b.ob8");  // not before its pause is over
        now += pause + 1;
        EXPECT_EQ(index.First(now), "a.ob8");  // then oldest first again
    }
    index.Defer("a.ob8", now);
    index.MarkDelivered("b.ob8");
    ASSERT_TRUE(index.Rescan());
    EXPECT_EQ(index.Failures("a.ob8"), static_cast<int>(std::size(pauses)) + 1);
    EXPECT_EQ(index.First(now), std::nullopt);  // a paused, b delivered (never again while it exists)
    ::unlink(dir.file("b.ob8").c_str());
    ASSERT_TRUE(index.Rescan());
    EXPECT_TRUE(index.Delivered().empty());
}

}  // namespace
