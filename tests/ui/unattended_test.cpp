// The real program run as a service runs it: without a display, stopped by signals, watched by a service manager.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/uniquefd.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"
#include "z8link/z8codec.h"
#include "z8link/z8server.h"

using namespace std::chrono_literals;
using drvtest::ChildProcess;
using drvtest::WaitUntil;

namespace {

// drvorvel.ini with a station port that cannot open and the Z8 server at port.
std::string IniWithMissingPort(const drvtest::TempDir& dir, int port) {
    return "[main]\r\nComPort=COM9\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) +
           "\r\n[ports]\r\nCOM9=" + dir.file("no-such-tty") + "\r\n";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Unattended, HeadlessStartupWithAPortThatDoesNotOpenSaysWhyAndStillReachesTheServer) {
    drvtest::TempDir dir;
    drv::z8::Z8Server server;
    dir.write("drvorvel.ini", "\xEF\xBB\xBF" + IniWithMissingPort(dir, server.Port()));
    ChildProcess driver({.argv = {DRVORVEL_EXE},
                         .cwd = dir.path(),
                         .env = {"QT_QPA_PLATFORM=offscreen"},
                         .stderrPath = dir.file("driver.err")});
    EXPECT_TRUE(server.WaitFor(
        [](const auto& frames) {
            for (const auto& f : frames)
                if (f.packet && f.packet->code == drv::z8::kVersion) return true;
            return false;
        },
        30000))
        << drvtest::ReadFile(dir.file("driver.err"));
    ASSERT_TRUE(
        WaitUntil([&] { return Contains(drvtest::ReadFile(dir.file("driver.err")), "Соединение установлено."); }));
    const std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_TRUE(Contains(err, "drvorvel: message: Порт уже занят. Смените его.\n")) << err;
    EXPECT_TRUE(Contains(err, dir.file("no-such-tty") + ") does not open: No such file or directory")) << err;
    EXPECT_TRUE(Contains(err, "drvorvel: link: ")) << err;
    const int status = driver.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// With a window, the startup message waits for a click; a stop signal dismisses it and ends the run there.
TEST(Unattended, AStopWhileTheStartupMessageIsOpenEndsTheRunBeforeTheLinkStarts) {
    drvtest::TempDir dir;
    // A listener that accepts nothing: a connection the driver made would wait in its queue.
    drv::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
    ASSERT_EQ(::listen(listener.get(), 8), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&in), &len), 0);
    dir.write("drvorvel.ini", IniWithMissingPort(dir, ntohs(in.sin_port)));
    ChildProcess driver({.argv = {DRVORVEL_EXE, "--no-headless"},
                         .cwd = dir.path(),
                         .env = {"QT_QPA_PLATFORM=offscreen"},
                         .stderrPath = dir.file("driver.err")});
    // Said just before the message opens; the signal is taken by the message's own loop.
    ASSERT_TRUE(WaitUntil([&] { return Contains(drvtest::ReadFile(dir.file("driver.err")), "does not open"); }));
    driver.Signal(SIGTERM);
    const auto status = driver.WaitExit(20s);
    ASSERT_TRUE(status.has_value()) << drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    pollfd p{listener.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the Z8 link connected";
    const std::string err = drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_TRUE(Contains(err, "stopped before startup was done")) << err;
    EXPECT_FALSE(Contains(err, "drvorvel: message:")) << err;
}

TEST(Unattended, TellsTheServiceManagerItIsReadyAndPetsTheWatchdog) {
    drvtest::TempDir dir;
    dir.write("drvorvel.ini", "[main]\nSendZ8=0\n");
    drv::UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir.file("notify");
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::copy(path.begin(), path.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ChildProcess driver({.argv = {DRVORVEL_EXE, "--headless"},
                         .cwd = dir.path(),
                         .env = {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=200000"},
                         .stderrPath = dir.file("driver.err")});
    std::string said;
    const bool both = WaitUntil([&] {
        char buf[256];
        ssize_t n;
        while ((n = ::recv(sock.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) said += std::string(buf, n) + "\n";
        return Contains(said, "READY=1") && Contains(said, "WATCHDOG=1");
    });
    EXPECT_TRUE(both) << said << drvtest::ReadFile(dir.file("driver.err"));
    EXPECT_LT(said.find("READY=1"), said.find("WATCHDOG=1"));
}
