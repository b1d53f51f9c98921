// From the station to the spool directory: the station simulator writes frames into a pseudo-terminal that
// drvorvel.ini maps to COM5, the driver opens COM5 at startup and, with no Z8 server to take the events, spools
// each into an .ob8 file.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <memory>
#include <sstream>

#include "core/spool.h"
#include "driver/driver.h"
#include "serial/CPDrv.h"
#include "tests/support/coreapp.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

using drvtest::WaitWithEvents;

namespace {

using Bytes = std::vector<std::uint8_t>;

void RunEventsFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

Bytes FromHex(const std::string& hex) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// The lines of the simulator's output that start with word, without the word.
std::vector<std::string> Lines(const std::string& text, const std::string& word) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(word + " ", 0) == 0) out.push_back(line.substr(word.size() + 1));
    }
    return out;
}

class SerialStationTest : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }

    void TearDown() override {
        driver.reset();
        sim.reset();
    }

    // Starts the simulator on a new pseudo-terminal with the given arguments and returns the path it prints.
    std::string StartSimulator(std::vector<std::string> args) {
        std::vector<std::string> argv{DRV_STATIONSIM_PATH, "--pty", "--wait-open", "30"};
        argv.insert(argv.end(), args.begin(), args.end());
        drvtest::ChildProcess::Options o;
        o.argv = argv;
        o.stdoutPath = dir.file("sim.out");
        o.stderrPath = dir.file("sim.err");
        sim = std::make_unique<drvtest::ChildProcess>(o);
        std::string path;
        EXPECT_TRUE(drvtest::WaitUntil([&] {
            const auto p = Lines(SimOutput(), "pty");
            if (!p.empty()) path = p[0];
            return !path.empty();
        })) << drvtest::ReadFile(dir.file("sim.err"));
        return path;
    }

    std::string SimOutput() const { return dir.exists("sim.out") ? drvtest::ReadFile(dir.file("sim.out")) : ""; }

    void StartDriver(const std::string& ptyPath) {
        dir.write("drvorvel.ini",
                  "[main]\nComPort=COM5\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n[ports]\nCOM5=" + ptyPath + "\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock.wall = [] { return drv::EncodeDateTime({2026, 12, 8, 12, 30, 15, 250}); };
        driver = std::make_unique<drv::Driver>(&view, options);
        driver->Start();
    }

    // The spooled files in the order they were written: with the clock held still, each next name is the
    // next free value of the stem.
    std::vector<Bytes> SpooledInOrder() const {
        std::vector<std::pair<unsigned long, std::string>> named;
        for (const auto& name : dir.list(".ob8")) {
            named.emplace_back(std::stoul(name.substr(0, name.size() - 4), nullptr, 16), name);
        }
        std::sort(named.begin(), named.end());
        std::vector<Bytes> out;
        for (const auto& [value, name] : named) out.push_back(drvtest::ReadBytes(dir.file(name)));
        return out;
    }

    drvtest::TempDir dir;
    drvtest::RecordingView view;  // a message (the port did not open) is kept, and nothing waits for it
    std::unique_ptr<drvtest::ChildProcess> sim;
    std::unique_ptr<drv::Driver> driver;
};

TEST_F(SerialStationTest, FramesFromTheStationAreSpooledByteForByte) {
    const std::string pty =
        StartSimulator({"--frame", "13220A05", "--frame", "E501C30709", "--random", "10", "--seed", "7", "--burst", "3",
                        "--rate", "4", "--cut-every", "5", "--hold-until-close", "60",
                        // each frame in one write: a loaded machine cannot cut it by chance
                        "--no-pace"});
    ASSERT_FALSE(pty.empty());
    StartDriver(pty);
    ASSERT_TRUE(driver->CommPortDriver1->IsPortOpen()) << (view.messages.empty() ? "" : view.messages.front());
    EXPECT_TRUE(driver->PortRunning());

    // The simulator holds the line until the driver lets it go, so nothing it sent is lost in between.
    ASSERT_TRUE(WaitWithEvents([&] { return Lines(SimOutput(), "sent").size() == 10u; })) << SimOutput();
    const auto sent = Lines(SimOutput(), "sent");
    ASSERT_TRUE(WaitWithEvents([&] { return SpooledInOrder().size() >= sent.size(); }))
        << SpooledInOrder().size() << " files\n"
        << SimOutput();
    // A cut frame ends its delivery (the line falls silent) and is dropped, not spooled half.
    RunEventsFor(std::chrono::milliseconds(300));
    driver->CommPortDriver1->ClosePort();
    ASSERT_TRUE(WaitWithEvents([&] { return !Lines(SimOutput(), "done").empty(); })) << SimOutput();
    EXPECT_EQ(Lines(SimOutput(), "cut").size(), 2u);

    const auto files = SpooledInOrder();
    ASSERT_EQ(files.size(), sent.size());
    // The station's worked examples, whole.
    EXPECT_EQ(files[0], drvtest::Bytes({0x20, 0x00, 0x00, 0x03, 0x62, 0x9F, 0x00, 0x00, 0x02, 0x30, 0x41, 0,
                                        0,    0x05, 0x00, 0,    0,    0,    0,    0,    0,    0,    0,    0x29}));
    EXPECT_EQ(files[1], drvtest::Bytes({0x20, 0x00, 0x00, 0x03, 0x41, 0x11, 0x01, 0x00, 0x02, 0x43, 0x33, 0,
                                        0,    0x07, 0x09, 0,    0,    0,    0,    0,    0,    0,    0,    0x29}));
    // The events the simulator expects, computed by it from the frame format.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto at = sent[i].find("event=") + 6;
        const Bytes event = FromHex(sent[i].substr(at, sent[i].find(' ', at) - at));
        ASSERT_EQ(event.size(), 20u) << sent[i];
        EXPECT_EQ(files[i], drv::BuildOb8(drv::kStationEventCode, event.data(), event.size())) << "frame " << sent[i];
    }
}

}  // namespace
