#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "driver/driverview.h"

namespace drvtest {

// The test process's one core application object (the driver's own, with its fault handler), made on first use.
// Tests of the driver object without a window; a process has either this or TestApp.
QCoreApplication& TestCoreApp();

// Like WaitUntil, running the main thread's events between the checks.
bool WaitWithEvents(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::seconds(20));

// A view that keeps what the driver told it, for tests of the driver object without a window.
struct RecordingView : drv::DriverView {
    void LinkLogLine(const std::string& line, bool toStandardError) override {
        log.push_back(line);
        DriverView::LinkLogLine(line, toStandardError);
    }
    void IndicatorStep(Indicator which, bool up, int phase) override {
        shown[static_cast<int>(which)] = {true, up, phase};
    }
    bool ShowsIndicators() const override { return true; }
    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        if (onMessage) onMessage(text);
    }
    void PortList(const std::vector<std::string>& names, const std::string& textWhenEmpty) override {
        ports = names;
        portText = names.empty() ? textWhenEmpty : names.front();
    }
    void PortState(bool isRunning, bool) override { running = isRunning; }
    void RemoteClose() override { ++remoteCloses; }

    struct Shown {
        bool drawn = false;
        bool up = false;
        int phase = 0;
    };
    const Shown& Of(Indicator which) const { return shown[static_cast<int>(which)]; }
    // The link log as the window's Memo1 holds it: the lines joined by newlines.
    std::string LogText() const {
        std::string text;
        for (std::size_t i = 0; i < log.size(); ++i) text += (i == 0 ? "" : "\n") + log[i];
        return text;
    }

    std::vector<std::string> log;
    Shown shown[3];
    std::vector<std::string> messages;
    std::function<void(const std::string&)> onMessage;  // runs while the message would be open
    std::vector<std::string> ports;
    std::string portText;
    bool running = true;
    int remoteCloses = 0;
};

}  // namespace drvtest
