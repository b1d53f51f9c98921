#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/tick.h"
#include "serial/linereader.h"
#include "serial/serialdevice.h"

enum TPortNumber : std::uint8_t {
    pnCustom,
    pnCOM1,
    pnCOM2,
    pnCOM3,
    pnCOM4,
    pnCOM5,
    pnCOM6,
    pnCOM7,
    pnCOM8,
    pnCOM9,
    pnCOM10,
    pnCOM11,
    pnCOM12,
    pnCOM13,
    pnCOM14,
    pnCOM15,
    pnCOM16
};
enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits : std::uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits : std::uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : std::uint8_t { hfNONE, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl : std::uint8_t { sfNONE, sfXONXOFF };
enum TPacketMode : std::uint8_t { pmDiscard, pmPass };

// Both events get the component as Sender and a pointer into its input buffer that is valid only during the call.
using TReceiveDataEvent = std::function<void(QObject* Sender, const std::uint8_t* DataPtr, std::uint32_t DataSize)>;
using TReceivePacketEvent = std::function<void(QObject* Sender, const std::uint8_t* Packet, std::uint32_t DataSize)>;
// The device of the port went away (present false) or came (back) under the same name and is open (present true).
using TDeviceEvent = std::function<void(QObject* Sender, bool present)>;
// An attempt to reopen the port found its device held by another process (pid); told once per holder.
using TDeviceHeldEvent = std::function<void(QObject* Sender, int pid)>;

// One chunk of a packet: the bytes from offset on came off the device together, after silenceMs of quiet since the
// chunk before them (TCommPortDriver::kSilenceUnknown when none came since the port was opened or purged).
struct TChunkMark {
    std::uint32_t offset;
    std::uint32_t silenceMs;
};

// The serial port component: opens one named port exclusively, programs its line and takes the bytes from the
// device as they arrive, handing them on as a stream (OnReceiveData) or cut into packets (OnReceivePacket): a full
// packet at once, a shorter one PacketTimeout ms after the arrival of its first byte. It never transmits.
//
// Thread: everything runs on the thread that owns the object and runs its event loop, but for one reader thread
// per open device with a descriptor (drv::LineReader): it only waits on the device, reads each chunk as it comes
// and stamps it with the tick of its arrival, so that the owning thread's own work never counts as silence on the
// line. Its hand-over (a socket notifier on the reader's wake-up) and the packet time-out (a precise single-shot
// timer) are events of the owning thread's loop, so reception goes on inside modal windows. A device without a
// descriptor (the tests' fakes) is polled every PollingDelay ms instead, its chunks stamped when read. The reader
// ends before its device is released (ClosePort, a loss, the destructor). IsPortOpen may be called by any thread.
// Nothing here blocks on the line: each read takes only bytes that already wait. All intervals run on the
// monotonic tick.
// The events may close the port, change properties or run a nested event loop: reception that an event interrupts
// stops there, and none starts while an event is running (it resumes when the event returns).
//
// A device that goes away while open (a USB adapter unplugged) is noticed at once (the descriptor hangs up): the
// component releases it, tells OnDeviceChange, and from then on looks for the same PortName every 100 ms (a look
// that costs a stat) and opens it with the same line settings as soon as it is there again (OnDeviceChange again),
// or until ClosePort ends the attempts. A device that is there but does not open is tried again every
// ReopenInterval ms. Meanwhile the port counts as closed for IsPortOpen but as in use for the writes that an open
// port ignores (PortName, Port, the queue sizes), so the attempts can only ever reopen the port that was lost.
class TCommPortDriver : public QObject {
    Q_OBJECT

public:
    static constexpr std::uint32_t kTickUnset = 0xFFFFFFFFu;

    // device: the device layer to use; null: the Linux device, with [ports] read from drvorvel.ini in the
    // process's current directory.
    explicit TCommPortDriver(QObject* owner = nullptr, std::unique_ptr<drv::SerialDevice> device = nullptr);
    ~TCommPortDriver() override;

    // Properties. A write follows the rules of the component: some writes are ignored while the port is open,
    // some re-program the open port (then the result of that is not reported).
    TPortNumber Port() const { return m_port; }
    void SetPort(TPortNumber value);
    const std::string& PortName() const { return m_portName; }
    void SetPortName(const std::string& value);
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value);
    std::uint32_t BaudRateValue() const { return m_baudRateValue; }
    void SetBaudRateValue(std::uint32_t value);
    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value);
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value);
    TParity Parity() const { return m_parity; }
    void SetParity(TParity value);
    THwFlowControl HwFlow() const { return m_hwFlow; }
    void SetHwFlow(THwFlowControl value);
    TSwFlowControl SwFlow() const { return m_swFlow; }
    void SetSwFlow(TSwFlowControl value);
    std::uint32_t InBufSize() const { return m_inBufSize; }
    void SetInBufSize(std::uint32_t value);
    std::uint32_t OutBufSize() const { return m_outBufSize; }
    void SetOutBufSize(std::uint32_t value);
    // -1: stream mode. Never larger than InBufSize: while closed a larger value grows InBufSize (up to 8192, beyond
    // which the packet is limited to 8192); while open it is limited to the current InBufSize.
    std::int16_t PacketSize() const { return m_packetSize; }
    void SetPacketSize(std::int16_t value);
    std::int32_t PacketTimeout() const { return m_packetTimeout; }
    void SetPacketTimeout(std::int32_t value);
    TPacketMode PacketMode() const { return m_packetMode; }
    void SetPacketMode(TPacketMode value) { m_packetMode = value; }
    std::uint16_t PollingDelay() const { return m_pollingDelay; }
    void SetPollingDelay(std::uint16_t value);
    bool EnableDTROnOpen() const { return m_enableDtrOnOpen; }
    void SetEnableDTROnOpen(bool value) { m_enableDtrOnOpen = value; }
    std::uint16_t OutputTimeout() const { return m_outputTimeout; }
    void SetOutputTimeout(std::uint16_t value) { m_outputTimeout = value; }
    std::uint32_t InputTimeout() const { return m_inputTimeout; }
    void SetInputTimeout(std::uint32_t value) { m_inputTimeout = value; }
    bool CheckLineStatus() const { return m_checkLineStatus; }
    void SetCheckLineStatus(bool value) { m_checkLineStatus = value; }
    const TReceiveDataEvent& OnReceiveData() const { return m_onReceiveData; }
    void SetOnReceiveData(TReceiveDataEvent handler) { m_onReceiveData = std::move(handler); }
    const TReceivePacketEvent& OnReceivePacket() const { return m_onReceivePacket; }
    void SetOnReceivePacket(TReceivePacketEvent handler) { m_onReceivePacket = std::move(handler); }
    const TDeviceEvent& OnDeviceChange() const { return m_onDeviceChange; }
    void SetOnDeviceChange(TDeviceEvent handler) { m_onDeviceChange = std::move(handler); }
    const TDeviceHeldEvent& OnDeviceHeld() const { return m_onDeviceHeld; }
    void SetOnDeviceHeld(TDeviceHeldEvent handler) { m_onDeviceHeld = std::move(handler); }
    // Period of the attempts to reopen a device that is there but does not open; at least 1 ms, 2000 by default.
    // A device that comes back (appears or is replaced) is tried within kPresenceCheckMs.
    int ReopenInterval() const { return m_reopenIntervalMs; }
    void SetReopenInterval(int ms);

    // Opens PortName and programs the line, then starts the poll. True when the port is open afterwards (also
    // when it already was); false when the device is missing, held by another, or refuses the settings, and the
    // port is then closed. While a lost device is awaited it makes one attempt at once; a failure leaves the
    // attempts going.
    bool OpenPort();
    // Stops the poll and releases the device, and ends the attempts to reopen a lost one; nothing else when closed.
    void ClosePort();
    // Makes the closed port try to open PortName as if its device had been lost (a device that is not there yet at
    // startup): attempts as after a loss, OnDeviceChange(true) when it opens. Nothing while open or trying.
    void StartReopening();
    // The open port's device went away and the component is trying to open it again.
    bool Reopening() const { return m_reopening; }
    // Any thread.
    bool IsPortOpen() const { return m_open.load(std::memory_order_acquire); }
    // Raises or drops DTR on the open port; a refusal (a pseudo-terminal has no DTR) is ignored.
    void SetDtr(bool on);
    // Discards the waiting received bytes (input) and the pending transmission (output) and forgets the
    // incomplete packet. False when closed or refused.
    bool PurgeBuffers(bool input, bool output);
    // Programs the open port with the current properties and purges both queues. False when closed or refused.
    bool ApplyLineSettings();
    std::uint32_t BaudRateOf(TBaudRate rate) const;
    // Milliseconds that count characters of 10 bits take at the rate, rounded half to even (0 at rate 0).
    std::int32_t TransmitTimeMs(TBaudRate rate, std::uint32_t count) const;

    // The line settings record ApplyLineSettings submits for the current properties.
    drv::Dcb BuildDcb() const;
    // One round of reception, as the device's readiness, the packet timer or the fallback poll runs it: takes the
    // waiting bytes into the input buffer, hands on the full packets and, once its time-out has passed, the short
    // one, and otherwise sets the packet timer for the rest of the time-out. Does nothing while closed or while an
    // event is running.
    void PollReceive();
    // Reception's first step: false (after releasing the device and starting the attempts) when it went away.
    bool CheckDevicePresent();
    // One look for the lost device, as the reopen timer runs it; opens it when it is there and worth an attempt.
    void TryReopen();

    // Milliseconds the line was quiet before the first byte of the packet that OnReceivePacket is handling,
    // counted from the arrival of the byte before it on the same open port. kSilenceUnknown when no byte came
    // since the port was opened or purged, and outside that call.
    static constexpr std::uint32_t kSilenceUnknown = 0xFFFFFFFFu;
    std::uint32_t PacketSilenceBefore() const { return m_deliverySilence; }
    // The chunks of the packet that OnReceivePacket is handling, the first at offset 0, each with the silence
    // before it, timed at the bytes' arrival; empty outside that call.
    const std::vector<TChunkMark>& PacketChunks() const { return m_deliveryChunks; }
    // The device is read by a reader thread of its own.
    bool ReadingOnItsOwnThread() const { return m_reader != nullptr; }

    // How often a lost device is looked for.
    static constexpr int kPresenceCheckMs = 100;

    // For tests and diagnostics.
    void SetClock(drv::Clock clock) { m_clock = std::move(clock); }
    std::uint32_t PacketStartTick() const { return m_packetStartTick; }
    // Bytes taken from the device that wait in the input buffer for their packet.
    std::uint32_t BytesHeld() const { return m_have; }
    // The fallback poll of a device without a descriptor.
    bool PollTimerActive() const { return m_timer.isActive(); }
    int PollTimerInterval() const { return m_timer.interval(); }
    // The device's readiness is watched (a descriptor and a notifier, enabled).
    bool WatchingDevice() const { return m_notifier != nullptr; }
    bool PacketTimerActive() const { return m_packetTimer.isActive(); }
    // How many times the poll timer was (re)started.
    unsigned PollTimerStarts() const { return m_timerStarts; }
    drv::SerialDevice& Device() { return *m_device; }

private:
    bool OpenDevice();
    void ReleaseDevice();
    void AttemptReopen(bool force);
    void NotifyDeviceChange(bool present);
    bool InUse() const { return IsPortOpen() || m_reopening; }
    void StartTimer();
    void StartWatching();
    std::uint32_t Now() const;
    std::uint32_t NowMarked() const;  // Now(), never the unset mark
    void WriteInBufSize(std::uint32_t value);
    void ApplyIfOpen();
    bool TakeWaitingBytes();
    void NoteArrival(std::uint32_t size, std::uint32_t tick, bool continued);
    std::optional<std::size_t> ReadStream();
    void DeliverPacket(std::uint32_t size, std::uint32_t silence);
    template <typename Event>
    void RunEvent(Event&& event);
    void ForgetLine();

    std::unique_ptr<drv::SerialDevice> m_device;
    QTimer m_timer;
    QTimer m_packetTimer;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<drv::LineReader> m_reader;
    std::vector<drv::LineReader::Arrival> m_arrivals;  // what the latest Take handed over
    std::vector<TChunkMark> m_marks;                   // chunks of the bytes held in m_inputBuffer
    std::vector<TChunkMark> m_deliveryChunks;          // of the packet being handed on
    drv::Clock m_clock;  // its millisecond tick times packets and reopening

    TPortNumber m_port = pnCOM2;
    std::string m_portName = "\\\\.\\COM1";
    TBaudRate m_baudRate = br9600;
    std::uint32_t m_baudRateValue = 9600;
    TDataBits m_dataBits = db8BITS;
    TStopBits m_stopBits = sb1BITS;
    TParity m_parity = ptNONE;
    THwFlowControl m_hwFlow = hfNONERTSON;
    TSwFlowControl m_swFlow = sfNONE;
    std::uint32_t m_inBufSize = 2048;
    std::uint32_t m_outBufSize = 2048;
    std::int16_t m_packetSize = -1;
    std::int32_t m_packetTimeout = -1;
    TPacketMode m_packetMode = pmDiscard;
    std::uint16_t m_pollingDelay = 50;
    bool m_enableDtrOnOpen = true;
    std::uint16_t m_outputTimeout = 500;
    std::uint32_t m_inputTimeout = 20;
    bool m_checkLineStatus = false;
    TReceiveDataEvent m_onReceiveData;
    TReceivePacketEvent m_onReceivePacket;
    TDeviceEvent m_onDeviceChange;
    TDeviceHeldEvent m_onDeviceHeld;
    QTimer m_reopenTimer;
    int m_reopenIntervalMs = 2000;
    bool m_reopening = false;
    std::uint64_t m_lastPresence = 0;  // what the last look at the lost device saw (0: missing)
    std::uint32_t m_lastAttemptTick = 0;
    int m_reportedHolder = 0;

    std::atomic<bool> m_open{false};
    std::vector<std::uint8_t> m_inputBuffer;
    std::uint32_t m_have = 0;                          // bytes held in m_inputBuffer
    std::uint32_t m_packetStartTick = kTickUnset;      // arrival of the held packet's first byte
    std::uint32_t m_lastByteTick = kTickUnset;         // arrival of the latest byte since open or purge
    std::uint32_t m_pendingSilence = kSilenceUnknown;  // the quiet before the held packet's first byte
    std::uint32_t m_deliverySilence = kSilenceUnknown;
    bool m_resumeAfterEvent = false;  // reception was asked for while an event ran
    unsigned m_openCount = 0;         // tells a poll that an event closed, reopened or purged the port
    bool m_inEvent = false;
    unsigned m_timerStarts = 0;
};
