#pragma once

#include <string>
#include <vector>

// An indicator's activity counter runs through phases 0..16; after 16 it goes back to 0.
inline constexpr int kIndicatorPhases = 17;
inline int NextIndicatorPhase(int phase) { return phase >= kIndicatorPhases - 1 ? 0 : phase + 1; }

namespace drv {

// What the driver tells whatever shows it: the one way from the driver object to the window (or, without one,
// to standard error). Every call comes on the main thread, from inside the driver's own handlers; an
// implementation shows and returns, and must not call back into the driver from inside a call, except that
// ShowMessage runs a nested event loop in which the driver's timers and handlers go on.
// The defaults are the headless view: what must reach the journal goes to standard error, the rest nowhere.
class DriverView {
public:
    // The three link indicators of the status page.
    enum class Indicator {
        Station,  // Image2: the station link by the watchdog
        Z8,       // Image3: the Z8 link
        Z7,       // Image1: the Z7 link
    };

    virtual ~DriverView() = default;

    // One line of the link log (UTF-8), stamped already. toStandardError: the journal keeps it as well
    // ("drvorvel: link: <line>"); the default writes only that.
    virtual void LinkLogLine(const std::string& line, bool toStandardError);
    // An indicator is to show the link up or down, with its activity counter at phase (0..16).
    virtual void IndicatorStep(Indicator /*which*/, bool /*up*/, int /*phase*/) {}
    // Whether IndicatorStep shows anything. Asked once, when the Z8 link is created: a view that shows no
    // indicator is not told the Z8 link's activity steps, so the link thread neither hands them to the main
    // thread nor waits for them (a poll exchange then wakes the link thread alone).
    virtual bool ShowsIndicators() const { return false; }
    // A message for the operator (UTF-8); returns once it has been closed. The default writes
    // "drvorvel: message: <text>" to standard error and returns at once.
    virtual void ShowMessage(const std::string& text);
    // The port list of the settings page is now names (COM1..COM32 that opened), with the first one selected;
    // when it is empty, the field shows textWhenEmpty.
    virtual void PortList(const std::vector<std::string>& /*names*/, const std::string& /*textWhenEmpty*/) {}
    // The station port is now running (the controls offer to stop it) or stopped (they offer a start, a rescan and
    // a choice of port; selectFirst: the first entry of the list is selected).
    virtual void PortState(bool /*running*/, bool /*selectFirst*/) {}
    // The Z7 server has told the driver to close: the program is to end without asking anyone.
    virtual void RemoteClose() {}
};

}  // namespace drv
