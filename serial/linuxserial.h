#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/uniquefd.h"
#include "serial/serialdevice.h"

namespace drv {

// A serial device on Linux: a tty (a real port, a USB adapter, or a pseudo-terminal) opened by the path that
// DevicePathForPort gives for the port name. Owned and called by one thread.
//
// Devices held by others are left alone: before the open, a device that another process has open (seen through
// /proc/<pid>/fd, as far as this user may look) or has locked with a live LCK..<name> file in /run/lock or
// /var/lock is refused with EBUSY, without opening it, and HolderPid names that process. An open device is
// locked the same way for others (LCK..<name> with this pid, where the lock directory may be written), until Close.
// Anyone may write the lock directories, so what is found there is untrusted input: only a regular file of a few
// dozen bytes is read (never through a link, never waiting, never more than that); anything else at a lock path
// (a FIFO, a directory, a device, a link, a huge or unparsable file) is no lock, said once on standard error with
// its path, type and owner, and the exclusive open and the check of who has the device open decide alone.
// Exclusive open: the open takes an flock on the device (which also stops a second open by root, or a second
// open in this process) and sets the tty's exclusive mode, which refuses other opens by anyone but root while
// this one lasts. Reads never wait: the device is opened non-blocking and the line is in raw mode with no
// minimum count. Queue sizes and time-outs are accepted and have no effect: the kernel sizes its own queues and
// reads only take bytes that already wait.
class LinuxSerialDevice final : public SerialDevice {
public:
    // iniPath gives the path of the INI file whose [ports] section maps COM names to devices; it is asked at every
    // Open. Empty: "drvorvel.ini" in the process's current directory.
    explicit LinuxSerialDevice(std::function<std::string()> iniPath = {});
    ~LinuxSerialDevice() override;

    bool Open(const std::string& portName) override;
    void Close() override;
    bool SetCommState(const Dcb& dcb) override;
    bool PurgeComm(bool input, bool output) override;
    bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool SetCommTimeouts(std::uint32_t readInterval, std::uint32_t readTotalConstant,
                         std::uint32_t writeTotalConstant) override;
    std::optional<std::uint32_t> BytesWaiting() override;
    std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) override;
    bool SetDtr(bool on) override;
    bool Vanished() override;
    int ReadinessHandle() const override { return m_fd.get(); }
    std::uint64_t Presence(const std::string& portName) override;
    int HolderPid() const override { return m_holder; }
    int LastError() const override { return m_error; }

    // The path of the open device (empty while closed).
    const std::string& DevicePath() const { return m_path; }
    int Fd() const { return m_fd.get(); }

private:
    bool Fail();
    void SetRtsToggle(bool on);

    std::function<std::string()> m_iniPath;
    UniqueFd m_fd;
    std::string m_path;
    int m_error = 0;
    int m_holder = 0;
    std::string m_lockFile;       // the lock file this open made, removed at Close
    bool m_rs485Enabled = false;  // this open switched the device's RS-485 RTS-on-send mode on
};

// The process other than this one that holds the character device at path: one with a live lock file for it, or
// one that has it open; 0 when none is seen. Reads /proc and the lock directories; never blocks on the device.
int FindDeviceHolder(const std::string& path);

// The line that says the check of who holds a device cannot see processes of other users, and why; empty when
// nothing stops it. procOptions: the options of the /proc mount (hidepid= other than 0/off hides other users'
// processes or their descriptors); unreadable: the processes seen whose /proc/<pid>/fd this process may not read.
// Said once on standard error, at the first look at /proc (the first open at startup).
std::string HolderCheckBlindSpot(std::string_view procOptions, int unreadable);

// Programs a tty for the station simulator and other senders: raw mode, 8 data bits, no parity, 1 stop bit,
// no flow control, the given rate (any rate the device takes). False with errno set when refused.
bool ConfigureRawLine(int fd, std::uint32_t rate);

}  // namespace drv
