#include "serial/linuxserial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/procfs.h"
#include "platform/tick.h"
#include "serial/portnames.h"
#include "serial/termios2.h"

namespace drv {

namespace {

struct RateConstant {
    std::uint32_t rate;
    speed_t constant;
};

constexpr std::array kRateConstants{
    RateConstant{50, B50},           RateConstant{75, B75},           RateConstant{110, B110},
    RateConstant{134, B134},         RateConstant{150, B150},         RateConstant{200, B200},
    RateConstant{300, B300},         RateConstant{600, B600},         RateConstant{1200, B1200},
    RateConstant{1800, B1800},       RateConstant{2400, B2400},       RateConstant{4800, B4800},
    RateConstant{9600, B9600},       RateConstant{19200, B19200},     RateConstant{38400, B38400},
    RateConstant{57600, B57600},     RateConstant{115200, B115200},   RateConstant{230400, B230400},
    RateConstant{460800, B460800},   RateConstant{500000, B500000},   RateConstant{576000, B576000},
    RateConstant{921600, B921600},   RateConstant{1000000, B1000000}, RateConstant{1152000, B1152000},
    RateConstant{1500000, B1500000}, RateConstant{2000000, B2000000}, RateConstant{2500000, B2500000},
    RateConstant{3000000, B3000000}, RateConstant{3500000, B3500000}, RateConstant{4000000, B4000000},
};

std::optional<speed_t> RateConstantOf(std::uint32_t rate) {
    for (const auto& r : kRateConstants) {
        if (r.rate == rate) return r.constant;
    }
    return std::nullopt;
}

// A device may program a rate close to the one asked for; the line still works within this tolerance.
bool RateClose(std::uint32_t asked, std::uint32_t got) {
    const std::uint64_t diff = asked > got ? asked - got : got - asked;
    return diff * 100 <= std::uint64_t{asked} * 2;
}

bool ModemBits(int fd, int bits, bool on) {
    return RetryEintr([&] { return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); }) == 0;
}

// Programs rate, character format and flow control; the part shared by the component and ConfigureRawLine.
bool ProgramLine(int fd, const Dcb& dcb) {
    termios t{};
    if (::tcgetattr(fd, &t) < 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_iflag |= IGNBRK;  // a break is no byte of the station's
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (dcb.ByteSize) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            errno = EINVAL;
            return false;
    }
    switch (dcb.Parity) {
        case kParityNone:
            break;
        case kParityOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case kParityEven:
            t.c_cflag |= PARENB;
            break;
        case kParityMark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kParitySpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            errno = EINVAL;
            return false;
    }
    switch (dcb.StopBits) {
        case kStopBitsOne:
            break;
        case kStopBitsTwo:
            t.c_cflag |= CSTOPB;
            break;
        default:
            errno = EINVAL;
            return false;  // 1.5 stop bits: no tty offers them
    }
    if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
    if (dcb.fOutX != 0) t.c_iflag |= IXON;
    if (dcb.fInX != 0) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (dcb.BaudRate == 0) {
        errno = EINVAL;  // rate 0 would hang the line up
        return false;
    }
    const auto constant = RateConstantOf(dcb.BaudRate);
    const speed_t speed = constant ? *constant : B38400;
    t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);  // an arbitrary rate set before would otherwise stay the input rate
    if (::cfsetispeed(&t, speed) < 0 || ::cfsetospeed(&t, speed) < 0) return false;
    if (RetryEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); }) < 0) return false;
    if (!constant && !SetArbitraryRate(fd, dcb.BaudRate)) return false;

    // tcsetattr succeeds when any part was taken: check that the line is what was asked for.
    termios got{};
    if (::tcgetattr(fd, &got) < 0) return false;
    constexpr tcflag_t kCflagChecked = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    constexpr tcflag_t kIflagChecked = IXON | IXOFF;
    if ((got.c_cflag & kCflagChecked) != (t.c_cflag & kCflagChecked) ||
        (got.c_iflag & kIflagChecked) != (t.c_iflag & kIflagChecked)) {
        errno = EINVAL;
        return false;
    }
    const auto rate = ProgrammedRate(fd);
    if (!rate || !RateClose(dcb.BaudRate, *rate)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool ProcessAlive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// A lock file is input from anyone who may write the lock directory (mode 1777): only a small regular file is
// read, never through a link, never waiting, never more than this.
constexpr std::size_t kMaxLockFileBytes = 64;

const char* FileTypeName(mode_t mode) {
    if (S_ISREG(mode)) return "regular file";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    return "file of unknown type";
}

std::string OwnerName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return found->pw_name;
    return "uid " + std::to_string(uid);
}

// Tells once per path and kind of thing (not at every open attempt) that what sits at a lock path is no lock.
void ReportNoLock(const std::string& file, const struct stat& st, const std::string& why) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::string> reported;
    const std::string line = "drvorvel: " + file + " is no lock file (a " + FileTypeName(st.st_mode) + " owned by " +
                             OwnerName(st.st_uid) + ", " + why + "); it is disregarded\n";
    {
        const std::lock_guard lock(mutex);
        std::string& last = reported[file];
        if (last == line) return;
        last = line;
    }
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

// The pid in a lock file's text: ten ASCII digits padded with spaces (and an optional newline) or, in older
// files, a binary int. 0 when the text is neither.
int PidOfLockText(const char* text, std::size_t size) {
    std::size_t i = 0;
    while (i < size && text[i] == ' ') ++i;
    std::size_t end = i;
    long long v = 0;
    while (end < size && text[end] >= '0' && text[end] <= '9' && end - i < 10) v = v * 10 + (text[end++] - '0');
    std::size_t rest = end;
    while (rest < size && (text[rest] == '\n' || text[rest] == '\r' || text[rest] == ' ')) ++rest;
    if (end > i && rest == size && v > 0 && v < INT_MAX) return static_cast<int>(v);
    if (size == sizeof(int)) {
        int pid = 0;
        std::memcpy(&pid, text, sizeof(int));
        if (pid > 0) return pid;
    }
    return 0;
}

enum class LockState {
    None,   // nothing at the path, or a lock of a process that is gone
    Live,   // a lock file naming a live process
    Alien,  // something that is no lock file (reported): disregarded
};

// What sits at a lock file's path, and the live pid it names. Never opens anything but a regular file, never
// blocks, reads at most kMaxLockFileBytes.
LockState ReadLockFile(const std::string& file, int& pid) {
    pid = 0;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return LockState::None;
    if (!S_ISREG(st.st_mode)) {
        ReportNoLock(file, st, "not a regular file");
        return LockState::Alien;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxLockFileBytes) {
        ReportNoLock(file, st, std::to_string(st.st_size) + " bytes, far more than a lock file holds");
        return LockState::Alien;
    }
    UniqueFd fd(
        RetryEintr([&] { return ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (!fd) {
        if (errno == ENOENT) return LockState::None;  // removed meanwhile
        ReportNoLock(file, st, std::string("cannot be read: ") + std::strerror(errno));
        return LockState::Alien;
    }
    // The name may have been given to something else between lstat and open.
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        static_cast<std::uint64_t>(opened.st_size) > kMaxLockFileBytes) {
        ReportNoLock(file, opened, "changed while being read");
        return LockState::Alien;
    }
    char text[kMaxLockFileBytes];
    const ssize_t n = RetryEintr([&] { return ::pread(fd.get(), text, sizeof text, 0); });
    if (n < 0) {
        ReportNoLock(file, opened, std::string("cannot be read: ") + std::strerror(errno));
        return LockState::Alien;
    }
    const int named = PidOfLockText(text, static_cast<std::size_t>(n));
    if (named == 0) {
        ReportNoLock(file, opened, "its content names no process");
        return LockState::Alien;
    }
    if (!ProcessAlive(named)) return LockState::None;  // stale: its process is gone
    pid = named;
    return LockState::Live;
}

// The live process a lock file names, 0 when none.
int LockFileHolder(const std::string& file) {
    int pid = 0;
    return ReadLockFile(file, pid) == LockState::Live ? pid : 0;
}

// The pseudo-terminal a master descriptor of another process (/proc/<pid>/fd/<n> on /dev/ptmx) leads to: the
// tty-index its fdinfo tells; -1 when it does not say (an older kernel).
int MasterIndex(int pid, const char* fdName) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/fdinfo/" + fdName);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with("tty-index:")) continue;
        char* end = nullptr;
        const long v = std::strtol(line.c_str() + 10, &end, 10);
        return end != line.c_str() + 10 && v >= 0 && v < INT_MAX ? static_cast<int>(v) : -1;
    }
    return -1;
}

// What processes hold under /dev: for each device the other pids that have it open, and for each pseudo-terminal
// the pids (this one included) that hold its master side. A snapshot of /proc/*/fd that is taken again when older than
// kSnapshotMs, so that a scan of many ports walks /proc once, not once a port.
constexpr std::uint32_t kSnapshotMs = 100;

struct DeviceHolders {
    std::unordered_map<std::string, std::vector<int>> devices;
    std::unordered_map<int, std::vector<int>> masters;  // tty-index: the pids with a /dev/ptmx descriptor of it
};

// The super options of the /proc mount this process sees ("rw,hidepid=invisible"; of the last one, which covers
// those before it), empty when not found.
std::string ProcMountOptions() {
    std::ifstream in("/proc/self/mountinfo");
    std::string line, found;
    while (std::getline(in, line)) {
        // "<id> <parent> <dev> <root> <mount point> <options> [optional...] - <type> <source> <super options>"
        std::size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) at = line.find(' ', at + 1);
        if (at == std::string::npos || line.compare(at + 1, 6, "/proc ") != 0) continue;
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        const std::size_t options = line.rfind(' ');
        found = options > dash + 2 ? line.substr(options + 1) : std::string();
    }
    return found;
}

const DeviceHolders& OpenDevices() {
    static DeviceHolders held;
    static std::uint32_t takenAt = 0;
    static bool taken = false;
    const std::uint32_t now = GetTickCount();
    if (taken && TicksSince(now, takenAt) < kSnapshotMs) return held;
    held.devices.clear();
    held.masters.clear();
    taken = true;
    takenAt = now;
    const int self = static_cast<int>(::getpid());
    const int unreadable = ForEachOpenFile([&](int pid, const char* fdName, const std::string& target) {
        if (!target.starts_with("/dev/")) return true;
        if (target == "/dev/ptmx" || target == "/dev/pts/ptmx") {
            if (const int index = MasterIndex(pid, fdName); index >= 0) {
                auto& pids = held.masters[index];
                if (pids.empty() || pids.back() != pid) pids.push_back(pid);
            }
        }
        if (pid == self) return true;
        auto& pids = held.devices[target];
        if (pids.empty() || pids.back() != pid) pids.push_back(pid);
        return true;
    });
    static bool told = false;
    if (!told) {
        told = true;
        const std::string line = HolderCheckBlindSpot(ProcMountOptions(), unreadable);
        if (!line.empty()) {
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        }
    }
    return held;
}

}  // namespace

std::string HolderCheckBlindSpot(std::string_view procOptions, int unreadable) {
    std::string why;
    for (std::size_t at = 0; at < procOptions.size();) {
        std::size_t end = procOptions.find(',', at);
        if (end == std::string_view::npos) end = procOptions.size();
        const std::string_view option = procOptions.substr(at, end - at);
        if (option.starts_with("hidepid=") && option != "hidepid=0" && option != "hidepid=off") {
            why = "/proc is mounted with " + std::string(option) + ", which hides them or what they have open";
        }
        at = end + 1;
    }
    if (unreadable > 0) {
        if (!why.empty()) why += "; ";
        why += "what " + std::to_string(unreadable) + (unreadable == 1 ? " process has" : " processes have") +
               " open (/proc/<pid>/fd) is not readable to this user (EACCES)";
    }
    if (why.empty()) return {};
    return "drvorvel: the check of who holds a device cannot see processes of other users: " + why +
           "; a device one of them holds is refused only by its lock file or its exclusive mode\n";
}

namespace {

// The other process that holds the device at real (a resolved path), or 0. A pseudo-terminal whose both sides one
// process alone holds is a relay offering the line (socat's PTY address keeps both ends open), not another
// program's terminal (whose master a terminal emulator holds, and its slave the shell): it counts as free.
int OpenedByOther(const std::string& real) {
    const DeviceHolders& held = OpenDevices();
    const auto it = held.devices.find(real);
    if (it == held.devices.end() || it->second.empty()) return 0;
    const std::vector<int>& pids = it->second;
    constexpr std::string_view kPts = "/dev/pts/";
    if (pids.size() == 1 && real.starts_with(kPts)) {
        char* end = nullptr;
        const long index = std::strtol(real.c_str() + kPts.size(), &end, 10);
        const auto m = held.masters.find(static_cast<int>(index));
        if (end != real.c_str() + kPts.size() && *end == '\0' && m != held.masters.end() && m->second == pids) {
            return 0;
        }
    }
    return pids.front();
}

}  // namespace

namespace {

// The names a lock file for the device at real (a resolved path) may have: what follows /dev/ with '/' as '_'
// ("ttyUSB0", "pts_3"), and the last part alone.
std::vector<std::string> LockNames(const std::string& real) {
    std::string flat = real.starts_with("/dev/") ? real.substr(5) : real.substr(real.rfind('/') + 1);
    for (char& c : flat) {
        if (c == '/') c = '_';
    }
    const std::string base = real.substr(real.rfind('/') + 1);
    return flat == base ? std::vector<std::string>{flat} : std::vector<std::string>{flat, base};
}

constexpr const char* kLockDirs[] = {"/run/lock/", "/var/lock/"};

// The lock directories that are not one another (/var/lock is often a link to /run/lock), each read once.
const std::vector<std::string>& DistinctLockDirs() {
    static const std::vector<std::string> dirs = [] {
        std::vector<std::string> found;
        std::vector<std::pair<dev_t, ino_t>> seen;
        for (const char* dir : kLockDirs) {
            struct stat st {};
            if (::stat(dir, &st) != 0) continue;
            if (std::find(seen.begin(), seen.end(), std::pair{st.st_dev, st.st_ino}) != seen.end()) continue;
            seen.emplace_back(st.st_dev, st.st_ino);
            found.emplace_back(dir);
        }
        return found;
    }();
    return dirs;
}

std::string ResolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// Creates the lock file that tells other programs this process has the device: "LCK..<name>" in the first lock
// directory that takes it, holding the pid as ten padded digits. What is at the name and names no live process (a
// stale lock, garbage, a link, a FIFO) is removed and the name taken anew; the new file is created exclusively, so
// nothing is ever written through a link or into another file. The path made, or empty when none could be (a
// directory this user may not write, or a directory at the name, is no failure: the flock and the tty's exclusive
// mode still keep others off).
std::string TakeLockFile(const std::string& real) {
    for (const std::string& dir : DistinctLockDirs()) {
        const std::string file = dir + "LCK.." + LockNames(real).front();
        for (int attempt = 0; attempt < 2; ++attempt) {
            UniqueFd fd(
                RetryEintr([&] { return ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); }));
            if (fd) {
                char text[16];
                const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
                if (::fchmod(fd.get(), 0644) == 0 && ::write(fd.get(), text, static_cast<std::size_t>(n)) == n)
                    return file;
                ::unlink(file.c_str());
                break;
            }
            if (errno != EEXIST || LockFileHolder(file) != 0) break;
            if (::unlink(file.c_str()) != 0) break;  // a directory, or another user's file in a sticky directory
        }
    }
    return {};
}

}  // namespace

int FindDeviceHolder(const std::string& path) {
    const std::string real = ResolvedPath(path);
    if (real.empty()) return 0;
    for (const std::string& dir : DistinctLockDirs()) {
        for (const std::string& name : LockNames(real)) {
            const int pid = LockFileHolder(dir + "LCK.." + name);
            if (pid != 0 && pid != static_cast<int>(::getpid())) return pid;
        }
    }
    return OpenedByOther(real);
}

LinuxSerialDevice::LinuxSerialDevice(std::function<std::string()> iniPath) : m_iniPath(std::move(iniPath)) {}

LinuxSerialDevice::~LinuxSerialDevice() {
    if (m_fd) Close();
}

bool LinuxSerialDevice::Fail() {
    m_error = errno;
    return false;
}

bool LinuxSerialDevice::Open(const std::string& portName) {
    const std::string path = DevicePathForPort(portName, m_iniPath ? m_iniPath() : std::string("drvorvel.ini"));
    m_holder = 0;
    struct stat st {};
    if (::stat(path.c_str(), &st) < 0) return Fail();
    // Opening a tty another program uses would reprogram and flush its line: such a device is not touched.
    if (S_ISCHR(st.st_mode)) {
        m_holder = FindDeviceHolder(path);
        if (m_holder != 0) {
            errno = EBUSY;
            return Fail();
        }
    }
    UniqueFd fd(RetryEintr([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) return Fail();
    if (!::isatty(fd.get())) return Fail();
    if (RetryEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) < 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return Fail();
    }
    if (RetryEintr([&] { return ::ioctl(fd.get(), TIOCEXCL); }) < 0) return Fail();
    m_fd = std::move(fd);
    m_path = path;
    if (S_ISCHR(st.st_mode)) m_lockFile = TakeLockFile(ResolvedPath(path));
    m_rs485Enabled = false;
    m_error = 0;
    return true;
}

void LinuxSerialDevice::Close() {
    if (!m_fd) return;
    SetRtsToggle(false);
    // Exclusive mode outlives this descriptor on a tty that stays open elsewhere (a pseudo-terminal's master):
    // leave it so that the next open is not refused.
    ::ioctl(m_fd.get(), TIOCNXCL);
    m_fd.reset();
    m_path.clear();
    if (!m_lockFile.empty()) ::unlink(m_lockFile.c_str());
    m_lockFile.clear();
}

void LinuxSerialDevice::SetRtsToggle(bool on) {
    if (!on && !m_rs485Enabled) return;
    serial_rs485 rs{};
    if (::ioctl(m_fd.get(), TIOCGRS485, &rs) < 0) return;  // no RS-485 mode: nothing is ever sent anyway
    if (on) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    if (::ioctl(m_fd.get(), TIOCSRS485, &rs) == 0) m_rs485Enabled = on;
}

bool LinuxSerialDevice::SetCommState(const Dcb& dcb) {
    if (!m_fd) {
        errno = EBADF;
        return Fail();
    }
    if (!ProgramLine(m_fd.get(), dcb)) return Fail();
    // Modem lines: a pseudo-terminal has none, and a refusal there is no reason to fail.
    ModemBits(m_fd.get(), TIOCM_DTR, dcb.fDtrControl == kDtrControlEnable);
    switch (dcb.fRtsControl) {
        case kRtsControlDisable:
            SetRtsToggle(false);
            ModemBits(m_fd.get(), TIOCM_RTS, false);
            break;
        case kRtsControlEnable:
            SetRtsToggle(false);
            ModemBits(m_fd.get(), TIOCM_RTS, true);
            break;
        case kRtsControlHandshake:
            SetRtsToggle(false);
            break;
        case kRtsControlToggle:
            ModemBits(m_fd.get(), TIOCM_RTS, false);  // idle: RTS is raised only while sending
            SetRtsToggle(true);
            break;
        default:
            errno = EINVAL;
            return Fail();
    }
    return true;
}

bool LinuxSerialDevice::PurgeComm(bool input, bool output) {
    if (!input && !output) return true;
    const int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    if (RetryEintr([&] { return ::tcflush(m_fd.get(), which); }) < 0) return Fail();
    return true;
}

bool LinuxSerialDevice::SetupComm(std::uint32_t, std::uint32_t) { return m_fd.valid(); }

bool LinuxSerialDevice::SetCommTimeouts(std::uint32_t, std::uint32_t, std::uint32_t) { return m_fd.valid(); }

std::optional<std::uint32_t> LinuxSerialDevice::BytesWaiting() {
    int n = 0;
    if (RetryEintr([&] { return ::ioctl(m_fd.get(), FIONREAD, &n); }) < 0) {
        Fail();
        return std::nullopt;
    }
    return n < 0 ? 0u : static_cast<std::uint32_t>(n);
}

std::optional<std::size_t> LinuxSerialDevice::Read(std::uint8_t* buffer, std::size_t size) {
    const ssize_t r = RetryEintr([&] { return ::read(m_fd.get(), buffer, size); });
    if (r >= 0) return static_cast<std::size_t>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    Fail();
    return std::nullopt;
}

bool LinuxSerialDevice::SetDtr(bool on) {
    if (!ModemBits(m_fd.get(), TIOCM_DTR, on)) return Fail();
    return true;
}

bool LinuxSerialDevice::Vanished() {
    if (!m_fd) return false;
    // A hung-up tty fails ioctls with EIO; a removed device answers ENXIO or ENODEV.
    if (m_error == EIO || m_error == ENXIO || m_error == ENODEV) return true;
    pollfd p{m_fd.get(), 0, 0};
    if (RetryEintr([&] { return ::poll(&p, 1, 0); }) < 0) return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::uint64_t LinuxSerialDevice::Presence(const std::string& portName) {
    const std::string path = DevicePathForPort(portName, m_iniPath ? m_iniPath() : std::string("drvorvel.ini"));
    struct stat st {};
    if (::stat(path.c_str(), &st) < 0) return 0;
    // The node's identity and its change time: a device made again under the name differs in one of them.
    std::uint64_t h = 1469598103934665603ull;
    for (const std::uint64_t v :
         {static_cast<std::uint64_t>(st.st_rdev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_ctim.tv_sec), static_cast<std::uint64_t>(st.st_ctim.tv_nsec)}) {
        h = (h ^ v) * 1099511628211ull;
    }
    return h == 0 ? 1 : h;
}

bool ConfigureRawLine(int fd, std::uint32_t rate) {
    Dcb dcb;
    dcb.BaudRate = rate;
    dcb.ByteSize = 8;
    dcb.Parity = kParityNone;
    dcb.StopBits = kStopBitsOne;
    return ProgramLine(fd, dcb);
}

}  // namespace drv
