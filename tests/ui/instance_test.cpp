#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/instancelock.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using namespace std::chrono_literals;

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

    drvtest::ChildProcess second({.argv = {DRVORVEL_EXE},
                                  .cwd = dir.path(),
                                  .env = {"QT_QPA_PLATFORM=offscreen"},
                                  .stderrPath = dir.file("second.err")});
    const auto status = second.WaitExit(20s);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
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
