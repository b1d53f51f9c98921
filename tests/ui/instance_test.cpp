#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/instancelock.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace std::chrono_literals;

namespace {

// Runs the driver in dir with these arguments to its end; its standard error goes to dir/errName. The exit status,
// or -1 when it did not end by itself within 20 s.
int RunDriverToExit(const drvtest::TempDir& dir, std::vector<std::string> argv, const std::string& errName) {
    argv.insert(argv.begin(), DRVORVEL_EXE);
    drvtest::ChildProcess driver(
        {.argv = argv, .cwd = dir.path(), .env = {"QT_QPA_PLATFORM=offscreen"}, .stderrPath = dir.file(errName)});
    const auto status = driver.WaitExit(20s);
    return status.has_value() && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

}  // namespace

TEST(InstanceLock, OneHolderPerDirectoryAndARefusedAttemptChangesNothing) {
    drvtest::TempDir dir;
    drv::InstanceLock first(dir.path());
    ASSERT_EQ(first.Acquire(), drv::InstanceLock::Outcome::Acquired);
    EXPECT_TRUE(first.Held());
    const std::string content = dir.read(drv::InstanceLock::kFileName);
    EXPECT_EQ(content, std::to_string(::getpid()) + "\n");

    {
        drv::InstanceLock second(dir.path());
        EXPECT_EQ(second.Acquire(), drv::InstanceLock::Outcome::HeldByAnother);
        EXPECT_FALSE(second.Held());
        EXPECT_EQ(second.OwnerPid(), ::getpid());
        EXPECT_EQ(dir.read(drv::InstanceLock::kFileName), content);
    }

    drvtest::TempDir other;
    drv::InstanceLock elsewhere(other.path());
    EXPECT_EQ(elsewhere.Acquire(), drv::InstanceLock::Outcome::Acquired);
}

TEST(InstanceLock, ReleasedWithItsHolderAndAStaleFileIsNoObstacle) {
    drvtest::TempDir dir;
    dir.write(drv::InstanceLock::kFileName, "99999999\n");  // left by a driver that died
    {
        drv::InstanceLock first(dir.path());
        ASSERT_EQ(first.Acquire(), drv::InstanceLock::Outcome::Acquired);
    }
    drv::InstanceLock again(dir.path());
    EXPECT_EQ(again.Acquire(), drv::InstanceLock::Outcome::Acquired);
}

// The lock is the directory's own: a lock file deleted (or made unreadable) by someone does not let a second
// driver in, and the holder is still named, from the kernel's lock table.
TEST(InstanceLock, HoldsAndNamesTheHolderWithoutItsFile) {
    drvtest::TempDir dir;
    drv::InstanceLock first(dir.path());
    ASSERT_EQ(first.Acquire(), drv::InstanceLock::Outcome::Acquired);
    ASSERT_EQ(::unlink(dir.file(drv::InstanceLock::kFileName).c_str()), 0);
    drv::InstanceLock second(dir.path());
    EXPECT_EQ(second.Acquire(), drv::InstanceLock::Outcome::HeldByAnother);
    EXPECT_EQ(second.OwnerPid(), ::getpid());
}

TEST(InstanceLock, AMissingDirectoryIsReportedNotMistakenForAnotherDriver) {
    drvtest::TempDir dir;
    drv::InstanceLock lock(dir.path() + "/missing");
    EXPECT_EQ(lock.Acquire(), drv::InstanceLock::Outcome::Unavailable);
    EXPECT_NE(lock.Error(), 0);
}

// Two starts of the real program in one working directory: the second tells why and ends with a non-zero
// status before it creates any window; the first runs on, still holding its lock, with its files untouched.
TEST(SingleDriver, SecondStartInTheSameDirectoryEndsAndLeavesTheFirstAlone) {
    drvtest::TempDir dir;
    dir.write("drvorvel.ini", "[main]\nSendZ8=0\n");
    drvtest::ChildProcess first({.argv = {DRVORVEL_EXE},
                                 .cwd = dir.path(),
                                 .env = {"QT_QPA_PLATFORM=offscreen"},
                                 .stderrPath = dir.file("first.err")});
    const std::string firstPid = std::to_string(first.pid()) + "\n";
    // Running once its status socket is there, the last file it makes at its start.
    ASSERT_TRUE(drvtest::WaitUntil([&] {
        return dir.read(drv::InstanceLock::kFileName) == firstPid && dir.exists("drvorvel.status");
    })) << drvtest::ReadFile(dir.file("first.err"));
    const auto before = dir.list();

    const int status = RunDriverToExit(dir, {}, "second.err");
    ASSERT_GE(status, 0);
    EXPECT_NE(status, 0);
    const std::string message = drvtest::ReadFile(dir.file("second.err"));
    EXPECT_NE(message.find("already runs in " + dir.path()), std::string::npos) << message;
    EXPECT_NE(message.find("process " + std::to_string(first.pid())), std::string::npos) << message;

    EXPECT_TRUE(first.Running());
    EXPECT_EQ(dir.read(drv::InstanceLock::kFileName), firstPid);
    auto after = dir.list();
    std::erase(after, "second.err");
    EXPECT_EQ(after, before);
    drv::InstanceLock probe(dir.path());
    EXPECT_EQ(probe.Acquire(), drv::InstanceLock::Outcome::HeldByAnother);
}

// Whatever sits at the lock file's name, the driver writes only into a regular file of its own with no other
// name: a second name of the configuration, a FIFO or a directory refuse the start, and a link is replaced by a
// file of its own, never written through.
TEST(InstanceLock, WritesOnlyIntoItsOwnFile) {
    const std::string ini = "[main]\nComPort=COM3\n";
    struct Case {
        const char* what;
        int (*make)(const std::string& ini, const std::string& lock);
        drv::InstanceLock::Outcome outcome;
        const char* told;
    };
    const Case cases[] = {
        {"hard link to the configuration", [](const auto& i, const auto& l) { return ::link(i.c_str(), l.c_str()); },
         drv::InstanceLock::Outcome::Unsafe, "names of one file"},
        {"FIFO", [](const auto&, const auto& l) { return ::mkfifo(l.c_str(), 0664); },
         drv::InstanceLock::Outcome::Unsafe, "is a FIFO"},
        {"directory", [](const auto&, const auto& l) { return ::mkdir(l.c_str(), 0775); },
         drv::InstanceLock::Outcome::Unsafe, "is a directory"},
        {"symbolic link to the configuration",
         [](const auto& i, const auto& l) { return ::symlink(i.c_str(), l.c_str()); },
         drv::InstanceLock::Outcome::Acquired, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        drvtest::TempDir dir;
        dir.write("drvorvel.ini", ini);
        ASSERT_EQ(c.make(dir.file("drvorvel.ini"), dir.file(drv::InstanceLock::kFileName)), 0);
        drv::InstanceLock lock(dir.path());
        EXPECT_EQ(lock.Acquire(), c.outcome);
        EXPECT_NE(lock.Problem().find(c.told), std::string::npos) << lock.Problem();
        EXPECT_EQ(dir.read("drvorvel.ini"), ini);
        if (c.outcome == drv::InstanceLock::Outcome::Acquired) {
            EXPECT_EQ(dir.read(drv::InstanceLock::kFileName), std::to_string(::getpid()) + "\n");
        }
    }
}

// The real program, with its lock file a second name of its configuration: status 3, a line that says what to do,
// the configuration byte for byte as it was.
TEST(SingleDriver, ALockFileThatIsAlsoTheConfigurationEndsTheStart) {
    drvtest::TempDir dir;
    const std::string ini = "[main]\nSendZ8=0\nComPort=COM3\n";
    dir.write("drvorvel.ini", ini);
    ASSERT_EQ(::link(dir.file("drvorvel.ini").c_str(), dir.file(drv::InstanceLock::kFileName).c_str()), 0);
    EXPECT_EQ(RunDriverToExit(dir, {"--headless"}, "driver.err"), 3);
    const std::string message = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_NE(message.find("rm '" + dir.file(drv::InstanceLock::kFileName) + "'"), std::string::npos) << message;
    EXPECT_EQ(dir.read("drvorvel.ini"), ini);
}
