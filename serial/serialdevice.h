#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace drv {

// The line settings record the component builds for every ApplyLineSettings: rate, character format and flow
// control, one field per setting, with the values a serial port of the station's kind is programmed with.
struct Dcb {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint8_t fBinary = 0;
    std::uint8_t fParity = 0;
    std::uint8_t fOutxCtsFlow = 0;
    std::uint8_t fOutxDsrFlow = 0;
    std::uint8_t fDtrControl = 0;  // kDtrControl*
    std::uint8_t fDsrSensitivity = 0;
    std::uint8_t fTXContinueOnXoff = 0;
    std::uint8_t fOutX = 0;
    std::uint8_t fInX = 0;
    std::uint8_t fErrorChar = 0;
    std::uint8_t fNull = 0;
    std::uint8_t fRtsControl = 0;  // kRtsControl*
    std::uint8_t fAbortOnError = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;  // 5..8
    std::uint8_t Parity = 0;    // kParity*
    std::uint8_t StopBits = 0;  // kStopBits*
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const Dcb&) const = default;
};

inline constexpr std::uint32_t kDcbLength = 28;
enum : std::uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1 };
enum : std::uint8_t { kRtsControlDisable = 0, kRtsControlEnable = 1, kRtsControlHandshake = 2, kRtsControlToggle = 3 };
enum : std::uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
enum : std::uint8_t { kStopBitsOne = 0, kStopBitsOneAndHalf = 1, kStopBitsTwo = 2 };

// One serial device as the component needs it. Implementations: LinuxSerialDevice over a tty, and the tests'
// fakes. All calls come from the thread that owns the component; nothing blocks on the line.
// A call that fails leaves its errno in LastError() for diagnostics; the component itself only looks at the
// boolean results.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Opens the device named by portName for reading and writing, exclusively: a device that any other holder
    // (another process, or another open in this one) has open, or that another process has locked, does not open
    // and is left untouched. False when it does not open.
    // Only called while closed.
    virtual bool Open(const std::string& portName) = 0;
    // Releases the device. Only called while open.
    virtual void Close() = 0;

    // Programs the line. False when the device refuses any part of it; the line may then be partly programmed.
    virtual bool SetCommState(const Dcb& dcb) = 0;
    // Discards what waits in the receive queue (input) and the transmit queue (output).
    virtual bool PurgeComm(bool input, bool output) = 0;
    // Asks for receive and transmit queues of these sizes; a device that sizes its own queues accepts it.
    virtual bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    // Sets the read and write time-outs in milliseconds; a device whose reads never wait accepts it.
    virtual bool SetCommTimeouts(std::uint32_t readInterval, std::uint32_t readTotalConstant,
                                 std::uint32_t writeTotalConstant) = 0;
    // Clears line errors and tells how many received bytes wait; nullopt when the device cannot say.
    virtual std::optional<std::uint32_t> BytesWaiting() = 0;
    // Reads up to size waiting bytes without waiting for more: the count read (0: nothing now), or nullopt on
    // failure.
    virtual std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) = 0;
    // Raises (on) or drops the DTR line.
    virtual bool SetDtr(bool on) = 0;
    // True when the open device has gone away for good (a USB adapter unplugged, its hub reset, the far end of a
    // pseudo-terminal closed): it hangs up, or a call failed with an error that means the device is gone. Such a
    // descriptor never works again; only a new Open can. Only called while open; never blocks.
    virtual bool Vanished() { return false; }
    // The descriptor that turns readable when bytes arrive or the device hangs up; -1 when the device has none
    // (the component then polls it). Only called while open.
    virtual int ReadinessHandle() const { return -1; }
    // A cheap look at the device portName names, without opening it: 0 when nothing is there, else a value that
    // changes when the device is replaced (made again under the same name). Never blocks.
    virtual std::uint64_t Presence(const std::string& /*portName*/) { return 1; }
    // The process that held the device when the last Open failed for that reason; 0 when none was seen.
    virtual int HolderPid() const { return 0; }

    virtual int LastError() const = 0;
};

}  // namespace drv
