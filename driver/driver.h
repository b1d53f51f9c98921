#pragma once

#include <QObject>
#include <QString>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/driverfiles.h"
#include "core/driverstate.h"
#include "core/metrics.h"
#include "core/spool.h"
#include "core/spoolbacklog.h"
#include "core/spoolindex.h"
#include "core/stationframe.h"
#include "driver/driverview.h"
#include "platform/clock.h"
#include "platform/datetime.h"
#include "z8link/Unit7.h"
#include "z8link/outboundring.h"

class QSocketNotifier;
class QTimer;

class TCommPortDriver;
class cl;
class TSimpleTCPClient;

namespace drv {
struct Z8LinkTimings;
class SpoolFs;
class Z8HostAdapter;

// What the program leaves at its defaults and tests or tools may set before the driver is created.
struct DriverOptions {
    std::string workingDirectory;  // empty: the process's current directory at startup
    // The driver's clock: the wall clock for what is shown, written and sent, and the count that never steps for
    // every interval and deadline (forwarding spacing and pauses, the watchdog, the spool rescan, the metrics'
    // ages). The serial component and the Z8 link take their ticks from it too. Empty members: the system's.
    drv::Clock clock;
    // The Z8 link thread's clock, when it must run on another than the driver's (a test that steps the driver's
    // clock by hand while the link talks to a real server in real time). Empty: the driver's clock.
    std::optional<drv::Clock> linkClock;
    unsigned randomSeed = 0;                              // 0: seeded from the clock
    std::shared_ptr<const drv::Z8LinkTimings> z8Timings;  // empty: the Z8 link's own intervals
    std::shared_ptr<drv::SpoolFs> spoolFs;                // empty: the system's file operations
    int spoolRetryMs = 1000;    // events that could not be spooled are written again at this interval
    int spoolReportTicks = 60;  // ... and reported every this many retries while they wait
    // A live event the Z8 server has not answered this long after it was queued is written to its spool file;
    // the link is looked at every durableCheckMs.
    int durableAfterMs = 2000;
    int durableCheckMs = 200;
    // No operator: messages go to standard error and nothing waits for a click.
    bool headless = false;
    // Tells whether the program has been asked to stop (a stop signal); checked after every modal wait of
    // startup, so that startup goes no further. Empty: never.
    std::function<bool()> stopRequested;
    // Timer2's interval; 0: Timer2 is not started (tests call Timer2Timer themselves).
    int timer2IntervalMs = 200;
    int portReopenIntervalMs = 0;  // 0: the serial component's own interval between attempts to reopen a lost port

    // Z7 link. The Z7 server's port; 0: 7788.
    std::uint16_t z7Port = 0;
    // Sets the machine's clock to a local time for the Z7 server's clock record; gives 0 or an errno. Empty: the
    // real clock is set (which needs CAP_SYS_TIME).
    std::function<int(const drv::DateTimeParts&)> setClock;
};

// The driver: owns the driver state, the serial component, the decoder, routing, the spool backlog, the index of
// pending spool files and their forwarding, the watchdog, the Z8 link thread and its host, the Z7 client, the
// station port's management and the metrics. Everything here runs on the main thread (the Z8 link's own thread
// reaches it only through queued calls). It tells whoever shows it what happened through its DriverView; it
// links Qt Core alone.
class Driver : public QObject {
    Q_OBJECT

public:
    // Creates the components; nothing starts before Start. view must outlive the driver.
    explicit Driver(DriverView* view, DriverOptions options = {}, QObject* parent = nullptr);
    // Shutdown (FormDestroy), also of a driver that was never started.
    ~Driver() override;
    // Startup: FormCreate. It may show messages, and so run nested event loops, before it returns.
    void Start() { FormCreate(this); }

    // Startup (the ten steps) and shutdown.
    void FormCreate(QObject* Sender);
    void FormDestroy(QObject* Sender);
    // Whether startup went through all its steps (a stop during a startup message ends it early).
    bool Started() const { return m_started; }

    // A delivery from the serial component: raw capture, frames, ignore list, routing.
    void CommPortDriver1ReceivePacket(QObject* Sender, const std::uint8_t* Packet, std::uint32_t DataSize);
    // Sends the current station event on: to the Z8 link while it is up, else into an .ob8 spool file.
    void RouteEvent();
    // Stores one Z8 packet (code and payload) in a new .ob8 spool file. When the file cannot be written the packet
    // waits in memory (driver_spool.cpp) and is written later; false only when even that memory is full.
    bool SpoolZ8Packet(std::uint32_t code, const std::vector<std::uint8_t>& payload);
    // Events waiting in memory for their spool file.
    std::size_t SpoolBacklogSize() const { return m_spoolBacklog.Waiting(); }

    // Appends "ошибка №<code>" to error.txt. Throws when the file cannot be written.
    void LogError(std::int32_t code);
    // LogError for paths that must not end on it: a failure is reported on standard error.
    void LogErrorNoThrow(std::int32_t code) noexcept;
    // Shows one text through the view and returns when the operator has closed it. Headless: writes
    // "drvorvel: message: <text>" to standard error and returns at once. Once a stop is requested nobody is asked.
    void ShowMessageText(const QString& text);
    bool Headless() const { return m_options.headless; }
    // An orderly end from wherever the main thread is: closes the serial port and ends every event loop; startup,
    // if it is still running, goes no further. The owner then destroys the driver, which spools what the Z8 link
    // still holds. The window dismisses its modal windows besides.
    void Stop();
    bool StopRequested() const;

    // What the driver counts (any thread may count) and what the metrics endpoint and the status command tell
    // (driver_metrics.cpp; main thread).
    drv::DriverMetrics& Metrics() { return m_metrics; }
    // withConfiguration: also the configuration in effect (which reads drvorvel.ini).
    drv::DriverStatus Status(bool withConfiguration = true) const;

    drv::DriverState& State() { return m_state; }
    const drv::DriverState& State() const { return m_state; }
    drv::TDateTime NowTime() const;
    std::int64_t MonotonicMs() const;
    std::string WorkingPath(const char* fileName) const;
    // PathForSoob as a prefix of spool file paths; a relative one is taken from the working directory.
    std::string SpoolPrefix() const;

    // COM port management (driver_ports.cpp). Main thread; each may show a message through the view.
    // Running is the state the driver is created in; the view is told every change.
    bool PortRunning() const { return m_portRunning; }
    void SetPortControlsStopped();
    // Rescan: lists the names COM1..COM32 that open; refused while the station's port runs or awaits its device.
    // shownText: what the port field shows now, kept there when no name opens.
    void RescanPorts(const std::string& shownText);
    // Starts the station's port under the name the operator chose (UTF-8); a port that does not open is reported
    // and the ports are scanned again.
    void StartPort(const std::string& name);
    // Stops the station's port when the closing password was given (allowed), else says that access is denied.
    void StopPort(bool allowed);
    // Stores the chosen name (UTF-8) as ComPort (drvorvel.ini and memory) and reports it; only in the stopped
    // state. A failure appends error 19 to the error log and changes nothing.
    void SelectPort(const std::string& name);
    // Closes the station's port and ends the attempts to reopen it (a close of the program).
    void ClosePort();
    // Queues the port status (stored ComPort, whether the port is open) on the Z8 link; nothing without the link.
    void ReportPortStatus();
    // The station port's device went away or came back: standard error, link log and a port status report.
    void CommPortDriver1DeviceHeld(QObject* Sender, int pid);
    void CommPortDriver1DeviceChange(QObject* Sender, bool present);

    // Appends one line to the link log through the view, and writes it to standard error as well (unless
    // toStandardError is false), so that the journal keeps the history. Main thread.
    void AppendLinkLog(const QString& line, bool toStandardError = true);
    // The Z7 server's close command: sets RemoteCloseRequested and tells the view, which ends the program.
    void RequestRemoteClose();

    // Z7 link (driver_z7.cpp). Sends a status record ('H', 'I') while the Z7 client is connected, else spools it
    // into a new .obz file.
    void SendZ7Record(std::uint8_t code);
    // Sends the code-50 record (the COM port number of the serial component's PortName) while the Z7 client is
    // connected; nothing otherwise.
    void SendZ7PortRecord();
    // The Z7 client's events and the reconnect timer Timer3 (3000 ms, from start). Main thread.
    void SimpleTCPClient1Connected(QObject* Sender);
    void SimpleTCPClient1Disconnected(QObject* Sender);
    void SimpleTCPClient1Read(QObject* Sender, const std::vector<std::uint8_t>& Stream);
    void SimpleTCPClient1Error(QObject* Sender, int Socket, std::int32_t ErrorCode, const std::string& ErrorMsg);
    void Timer3Timer();
    // The server, the failure's own words and (while down) the retry interval, for the state lines.
    std::string Z7ServerText(bool up, const std::string& why = {}) const;
    bool Z7Connected = false;
    int Z7ActivityCounter = 0;  // phase of the Z7 indicator, 0..16

    // Spool forwarding and the station watchdog (driver_forward.cpp). One tick: Z8 forwarding, Z7 forwarding,
    // the watchdog, in this order; a failure of one forwarding duty is reported on stderr and the tick goes on.
    void Timer2Timer(QObject* Sender);
    // Hands the oldest due .ob8 file to the Z8 link, unless the file handed over last is still in flight (queued or
    // awaiting its reply), or was handed over within the last 3 seconds and not acknowledged since. Entries that are no regular file or hold no packet are
    // set aside; a file that cannot be read now waits for a later try.
    void ForwardZ8Spool();
    // Sends the oldest due .obz file to the Z7 server and deletes it once the client took all of it.
    void ForwardZ7Spool();
    // Decides whether the station link counts as up; on a change shows the station indicator and reports 'I'
    // or 'H'.
    void StationWatchdog();
    // A spool file the driver has just written (.ob8 or .obz): it joins the pending files at once.
    void NoteSpoolFileWritten(const std::string& path);
    // Marks a pending .ob8 file as in flight on the Z8 link (its packet is queued or awaits its reply) or ends
    // the mark; forwarding never hands over a file so marked.
    void SetZ8SpoolFileInFlight(const std::string& path, bool inFlight);
    // What became of the frame that carried an .ob8 file's packet (posted by the link thread). Acknowledged (the
    // link has deleted the file): the index forgets the file, and when it is the file forwarding handed over and it
    // was still there, the next one goes at once. Declined or lost: the file waits behind the others for a pause
    // that grows while it keeps failing, and the next hand-over still waits out the 3-second spacing.
    void Z8SpoolFileResolved(const drv::Z8LinkHost::SpoolResult& result);
    // The acknowledged file could not be deleted (error: errno): it is never handed over again, and deleted later.
    void Z8SpoolFileUndeleted(const std::string& path, int error);
    // The Z8 link has connected: the spacing is ended, so forwarding may hand over a file at once.
    void Z8LinkConnectionMade();
    // Lists the spool directory again and renews its watch. Runs at start, when the watch missed changes, and
    // every 30 seconds while no watch can be set.
    void RescanSpool();
    // The pending files of each pattern, oldest first.
    const drv::SpoolIndex& Z8Spool() const { return *m_ob8Index; }
    const drv::SpoolIndex& Z7Spool() const { return *m_obzIndex; }

    // Z8 link glue (the link thread exists only with SendZ8).
    void CreateZ8Link();
    bool Z8LinkConnected() const;
    // Queues a packet on the Z8 link; false when there is no link or its ring refused the packet (the caller keeps
    // it). Live station events pass PacketOrigin::LiveEvent: one the server does not answer comes back and is
    // spooled. Spool forwarding passes PacketOrigin::SpoolFile and the file's path: the server's acknowledgement of
    // that very packet deletes the file.
    bool QueueZ8Packet(std::uint32_t code, const std::vector<std::uint8_t>& payload,
                       drv::z8::PacketOrigin origin = drv::z8::PacketOrigin::Link, std::string spoolPath = {});
    // One step of the Z8 indicator: the next phase (0..16) shown with LinkConnected. The link asks for it only
    // while the view shows indicators.
    void Z8IndicatorStep();
    // Stops the link thread without waiting for anything it waits for, and spools the live events it still held.
    void StopZ8Link();
    // A live station event the link could not deliver: spooled like one that came while the link was down.
    void KeepUndeliveredZ8Event(std::uint32_t code, const std::vector<std::uint8_t>& payload);

    // Serial glue: opens the station's port under the given name ("\\.\COM3"); false when it does not open,
    // also when the attempt raised an error.
    bool OpenStationPort(const std::string& portName);

    // Components.
    QTimer* Timer2 = nullptr;  // 200 ms: spool forwarding and the station watchdog
    TCommPortDriver* CommPortDriver1 = nullptr;
    TSimpleTCPClient* SimpleTCPClient1 = nullptr;
    QTimer* Timer3 = nullptr;
    std::shared_ptr<cl> Z8Link;
    int Z8ActivityCounter = 0;  // the Z8 indicator's phase; it moves only while the view shows indicators

private:
    void CreateSerialComponent();  // driver_serial.cpp
    // Tells standard error which device the configured port stands for and why it did not open.
    void ReportStationPortFailure();
    void HandleFrame(const std::uint8_t* frame, int length);
    // The port state of the driver, shown by the view.
    void SetPortState(bool running, bool selectFirst = false);
    // Spool files (driver_spool.cpp).
    void StartSpool();
    drv::SpoolWriteResult WriteZ8SpoolFile(const drv::SpoolBacklog::Event& event);
    drv::SpoolBacklog::Writer SpoolWriter();
    void SpoolRetryTick();
    // Writes the spool files of the live events the Z8 link has held too long without an answer; its clock runs
    // from the first live event queued (WatchLiveEvents) until the link holds none.
    void MakeLinkEventsDurable();
    void WatchLiveEvents();
    drv::SpoolFs& SpoolFileSystem() const;
    void StartSpoolForwarding();  // driver_forward.cpp
    void CountEventToday();       // driver_metrics.cpp
    void ApplySpoolChanges();
    // Takes a spool entry that cannot be used out of its index: moved aside as .bad, or ignored when it cannot be.
    void SetSpoolEntryAside(drv::SpoolIndex& index, const std::string& name, const std::string& why);
    // A file that cannot be read now: tried again after a pause, reported at most once a minute.
    void DeferUnreadableSpoolFile(drv::SpoolIndex& index, const std::string& name, int error);
    // Deletes a delivered spool file; one that cannot be deleted is kept from forwarding and deleted later.
    void DeleteDeliveredSpoolFile(drv::SpoolIndex& index, const std::string& name, int error = -1);
    void RetrySpoolDeletions();
    void CreateZ7Client();  // driver_z7.cpp
    void StopZ7Client();
    void SpoolZ7Record(const std::vector<std::uint8_t>& record);
    void SetZ7Clock(drv::TDateTime value);

    DriverView* m_view;
    DriverOptions m_options;
    drv::DriverMetrics m_metrics;  // outlives the Z8 link, which counts into it
    int m_eventsDay = -1;          // the local day eventsToday counts
    drv::DriverState m_state;
    drv::FrameDecoder m_decoder;
    drv::IgnoreList m_ignoreList;
    bool m_destroyed = false;
    bool m_stopped = false;                   // Stop() has run
    bool m_started = false;                   // FormCreate went through all its steps
    bool m_portRunning = true;                // the port state the view shows
    std::shared_ptr<Z8HostAdapter> m_z8Host;  // the link thread's way to the main thread
    drv::SpoolBacklog m_spoolBacklog;         // events whose .ob8 file could not be written yet
    QTimer* m_spoolRetryTimer = nullptr;
    QTimer* m_durableTimer = nullptr;
    int m_spoolRetryTicks = 0;
    // Since events began to wait in memory: how many were spooled from there, and how many handed to the link.
    std::size_t m_backlogSpooled = 0;
    std::size_t m_backlogHandedOver = 0;
    std::unique_ptr<drv::SpoolIndex> m_ob8Index;
    std::unique_ptr<drv::SpoolIndex> m_obzIndex;
    std::unique_ptr<drv::SpoolIndex> m_badIndex;  // files set aside, for the metrics only
    std::unique_ptr<drv::SpoolDirectoryWatch> m_spoolWatch;
    QSocketNotifier* m_spoolNotifier = nullptr;
    std::int64_t m_lastSpoolRescanMs = INT64_MIN;  // monotonic; INT64_MIN: due at the next tick
    // The watchdog's reference on the monotonic clock: start, then the last delivery with a frame.
    std::int64_t m_stationHeardMs = 0;
    // Reports of spool files that keep failing, each at most once a minute.
    drv::ReportLimiter m_unacknowledgedReports;
    drv::ReportLimiter m_readFaultReports;
    drv::ReportLimiter m_deleteFaultReports;
    drv::SpoolViewReport m_spoolView;  // what is told about the spool directory's watch, listing and set-asides
    // A refused clock setting is reported once a run.
    bool m_clockFailureReported = false;
};

}  // namespace drv
