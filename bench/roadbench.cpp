#include "bench/roadbench.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/spool.h"

namespace bench {

namespace {

const Clock::time_point kProcessStart = Clock::now();

// Every child a benchmark starts dies with it (parent-death signal), so ending the process is enough.
void OnInterrupt(int sig) {
    static const char text[] = "bench: interrupted; every driver it started ends with it\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(128 + sig);
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string StatusLineValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    }
    return {};
}

}  // namespace

Bytes MakeFrame(std::size_t index, bool fourByte) {
    const std::size_t raw = index % kMaxFrames;
    const auto high = static_cast<std::uint8_t>(raw >> 8);
    Bytes f;
    f.push_back(static_cast<std::uint8_t>(((high & 0x70) << 1) | (high & 0x0F) | (fourByte ? 0x10 : 0x00)));
    f.push_back(static_cast<std::uint8_t>(raw & 0xFF));
    f.push_back(static_cast<std::uint8_t>((index * 37 + 11) & 0xFF));
    f.push_back(static_cast<std::uint8_t>(((index >> 7) ^ 0x5A) & 0xFF));
    if (!fourByte) f.push_back(static_cast<std::uint8_t>(~index & 0xFF));
    return f;
}

drv::StationEvent ExpectedEvent(std::size_t index, bool fourByte) {
    const Bytes f = MakeFrame(index, fourByte);
    drv::StationEvent e{};
    drv::FillStationEvent(e, f.data(), static_cast<int>(f.size()), kFirstNumber);
    return e;
}

std::optional<std::size_t> IndexOfEvent(const std::uint8_t* event, std::size_t size) {
    if (size < 4) return std::nullopt;
    const auto object = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(event[0]) | static_cast<std::uint32_t>(event[1]) << 8 |
        static_cast<std::uint32_t>(event[2]) << 16 | static_cast<std::uint32_t>(event[3]) << 24);
    const std::int64_t raw = static_cast<std::int64_t>(object) - kFirstNumber * 10000;
    if (raw < 0 || raw >= static_cast<std::int64_t>(kMaxFrames)) return std::nullopt;
    return static_cast<std::size_t>(raw);
}

double Uptime() { return std::chrono::duration<double>(Clock::now() - kProcessStart).count(); }

void Progress(const std::string& text) { std::fprintf(stderr, "[%6.1f s] %s\n", Uptime(), text.c_str()); }

bool TakeCommonOption(int argc, char** argv, int& i, double& seconds, std::string& driverPath) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    if (a == "--seconds") {
        seconds = std::atof(argv[++i]);
        return true;
    }
    if (a == "--driver") {
        driverPath = argv[++i];
        return true;
    }
    return false;
}

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

StationLine::StationLine() {
    int m = -1;
    int s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) < 0) throw std::runtime_error(ErrnoText("openpty"));
    m_master.reset(m);
    drv::UniqueFd slave(s);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    const char* name = ::ptsname(m);
    if (name == nullptr) throw std::runtime_error("ptsname failed");
    m_devicePath = name;
    // Packet mode: the driver's purge of the line shows on this end, so the first frame is not purged away.
    int on = 1;
    if (::ioctl(m, TIOCPKT, &on) < 0) throw std::runtime_error(ErrnoText("TIOCPKT"));
    const int flags = ::fcntl(m, F_GETFL);
    ::fcntl(m, F_SETFL, flags | O_NONBLOCK);
}

bool StationLine::WaitForDriverOpen(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        pollfd p{m_master.get(), POLLIN | POLLPRI, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLIN | POLLPRI))) {
            std::uint8_t buf[256];
            const ssize_t n = ::read(m_master.get(), buf, sizeof buf);
            if (n > 0 && buf[0] != TIOCPKT_DATA && (buf[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))) return true;
            if (n > 0) continue;
        }
        // Until the far end is opened the master reports a hang-up at once: do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

Clock::duration StationLine::ByteTime() {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / kLineBaud));
}

void StationLine::DrainControl() {
    std::uint8_t buf[256];
    while (::read(m_master.get(), buf, sizeof buf) > 0) {
    }
}

void StationLine::WriteFrame(const Bytes& frame) {
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n =
            drv::RetryEintr([&] { return ::write(m_master.get(), frame.data() + done, frame.size() - done); });
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN) throw std::runtime_error(ErrnoText("writing the station line"));
        // The far end takes nothing more for now: a real line would be losing bytes here.
        const auto from = Clock::now();
        pollfd p{m_master.get(), POLLOUT, 0};
        ::poll(&p, 1, 100);
        m_blocked += Clock::now() - from;
        DrainControl();
    }
}

Clock::time_point StationLine::Send(const Bytes& frame) {
    const auto done = std::max(m_lineFree, Clock::now()) + ByteTime() * static_cast<int>(frame.size());
    std::this_thread::sleep_until(done);
    WriteFrame(frame);
    const auto now = Clock::now();
    m_lineFree = now;
    return now;
}

Clock::time_point StationLine::SendScheduled(const Bytes& frame, Clock::time_point start, std::size_t firstByteIndex) {
    const double byteNs = 1e9 * 10.0 / kLineBaud;
    const auto due = start + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                 std::llround(static_cast<double>(firstByteIndex + frame.size()) * byteNs)));
    if (due > Clock::now()) std::this_thread::sleep_until(due);
    WriteFrame(frame);
    const auto now = Clock::now();
    m_maxLag = std::max(m_maxLag, now - due);
    DrainControl();
    return now;
}

DriverProcess::DriverProcess(const std::string& executable, const ScratchDir& dir, const std::string& devicePath,
                             int z8Port, const std::string& extraIni) {
    dir.write("drvorvel.ini", "[main]\nComPort=COM1\nFirstNumber=" + std::to_string(kFirstNumber) +
                                  "\nLog=0\n\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(z8Port) +
                                  "\n\n[ports]\nCOM1=" + devicePath + "\n" + extraIni);
    m_child = std::make_unique<drvtest::ChildProcess>(drvtest::ChildProcess::Options{{executable, "--headless"},
                                                                                     dir.path(),
                                                                                     {"QT_QPA_PLATFORM=offscreen"},
                                                                                     dir.file("driver.out"),
                                                                                     dir.file("driver.out")});
}

Z8End::Z8End(bool up) {
    if (!up) {
        port = UnusedPort();
        return;
    }
    server = std::make_unique<drv::z8::Z8Server>();
    drv::z8::ServerBehaviour behaviour;
    behaviour.ackEvents = true;
    behaviour.pollAfterHello = true;
    server->SetBehaviour(behaviour);
    watch = std::make_unique<ServerWatch>(*server);
    port = server->Port();
}

void AckEventsAfter(drv::z8::Z8Server& server, int delayMs, bool poll) {
    drv::z8::ServerBehaviour behaviour;
    behaviour.ackEvents = true;
    behaviour.pollAfterHello = poll;
    server.SetBehaviour(behaviour);
    server.SetScript([delayMs](const drv::z8::ReceivedFrame&) -> std::optional<drv::z8::ServerAction> {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        return std::nullopt;
    });
}

void WaitForDriver(StationLine& line, const Z8End& z8) {
    if (!line.WaitForDriverOpen(std::chrono::milliseconds(20000)))
        throw std::runtime_error("the driver did not open the line");
    if (z8.watch && !z8.watch->WaitForHandshake(std::chrono::milliseconds(20000)))
        throw std::runtime_error("the driver's Z8 link did not come up");
}

int UnusedPort() {
    drv::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) < 0)
        throw std::runtime_error(ErrnoText("finding a free port"));
    return ntohs(a.sin_port);
}

ServerWatch::ServerWatch(drv::z8::Z8Server& server) : m_server(server), m_state(std::make_shared<State>()) {
    m_server.SetObserver([state = m_state](const drv::z8::ReceivedFrame& frame) {
        // The kernel's receive time when it gives one: a late wake-up of the server's thread is not the driver's.
        const auto at = frame.arrivedAt.value_or(Clock::now());
        if (!frame.packet) return;
        std::lock_guard lock(state->mutex);
        if (frame.packet->code == drv::z8::kVersion) state->handshakeSeen = true;
        if (frame.packet->code == drv::z8::kHello && !state->helloAt) state->helloAt = at;
        if (frame.packet->code == drv::z8::kStationEvent) {
            const auto& p = frame.packet->payload;
            const auto index = IndexOfEvent(p.data(), p.size());
            state->arrivals.push_back({index, p, at});
            if (index) state->firstArrival.emplace(*index, at);
        }
        state->changed.notify_all();
    });
}

ServerWatch::~ServerWatch() { m_server.SetObserver(nullptr); }

bool ServerWatch::WaitForHandshake(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(lock, timeout, [&] { return m_state->handshakeSeen; });
}

std::optional<Clock::time_point> ServerWatch::WaitForHello(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    if (!m_state->changed.wait_for(lock, timeout, [&] { return m_state->helloAt.has_value(); })) return std::nullopt;
    return m_state->helloAt;
}

std::optional<Clock::time_point> ServerWatch::WaitForIndex(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    if (!m_state->changed.wait_for(lock, timeout, [&] { return m_state->firstArrival.count(index) > 0; }))
        return std::nullopt;
    return m_state->firstArrival.at(index);
}

std::vector<ServerWatch::Arrival> ServerWatch::Arrivals() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->arrivals;
}

std::size_t ServerWatch::EventCount() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->arrivals.size();
}

std::vector<SpooledFile> ReadSpoolFiles(const std::string& directory) {
    std::vector<SpooledFile> out;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".ob8") != 0) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        SpooledFile f{name, Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
        out.push_back(std::move(f));
    }
    return out;
}

std::size_t CountSpoolFiles(const std::string& directory) {
    std::size_t n = 0;
    DIR* d = ::opendir(directory.c_str());
    if (d == nullptr) return 0;
    while (const dirent* e = ::readdir(d)) {
        const std::size_t len = std::strlen(e->d_name);
        if (len >= 4 && std::strcmp(e->d_name + len - 4, ".ob8") == 0) ++n;
    }
    ::closedir(d);
    return n;
}

Tally CountOutcome(std::size_t sent, const std::function<bool(std::size_t)>& fourByte,
                   const std::vector<ServerWatch::Arrival>& arrivals, const std::vector<SpooledFile>& spool) {
    Tally t;
    t.sent = sent;
    std::vector<std::uint8_t> seen(sent, 0);  // 1: delivered, 2: spooled
    auto matches = [&](std::optional<std::size_t> index, const std::uint8_t* payload, std::size_t size) {
        if (!index || *index >= sent || size != sizeof(drv::StationEvent)) return false;
        const auto expected = ExpectedEvent(*index, fourByte(*index));
        return std::equal(expected.begin(), expected.end(), payload);
    };
    auto noteCorrupted = [&](const std::string& where, std::optional<std::size_t> index, const std::uint8_t* data,
                             std::size_t size) {
        if (t.corruptedSamples.size() >= 5) return;
        std::string text = where + ": " + Hex(data, size);
        if (index && *index < sent) {
            const auto expected = ExpectedEvent(*index, fourByte(*index));
            text += " (frame " + std::to_string(*index) + " should give " + Hex(expected.data(), expected.size()) + ")";
        }
        t.corruptedSamples.push_back(text);
    };
    std::optional<std::size_t> highest;
    for (const auto& a : arrivals) {
        if (!matches(a.index, a.payload.data(), a.payload.size())) {
            ++t.corrupted;
            noteCorrupted("at the server", a.index, a.payload.data(), a.payload.size());
            continue;
        }
        const std::size_t i = *a.index;
        if (highest && i < *highest) ++t.outOfOrder;
        highest = std::max(highest.value_or(0), i);
        if (seen[i] != 0) {
            ++t.duplicates;
            continue;
        }
        seen[i] = 1;
        ++t.delivered;
    }
    const std::uint8_t code[4] = {0x20, 0x00, 0x00, 0x03};  // 0x03000020, little-endian
    for (const auto& f : spool) {
        const bool shaped =
            f.bytes.size() == 4 + sizeof(drv::StationEvent) && std::equal(code, code + 4, f.bytes.begin());
        const auto index = shaped ? IndexOfEvent(f.bytes.data() + 4, f.bytes.size() - 4) : std::nullopt;
        if (!shaped || !matches(index, f.bytes.data() + 4, f.bytes.size() - 4)) {
            ++t.corrupted;
            noteCorrupted("in " + f.name, index, f.bytes.data(), f.bytes.size());
            continue;
        }
        if (seen[*index] != 0) {
            ++t.duplicates;
            continue;
        }
        seen[*index] = 2;
        ++t.spooled;
    }
    for (std::size_t i = 0; i < sent && t.lostRanges.size() < 5; ++i) {
        if (seen[i] != 0) continue;
        std::size_t last = i;
        while (last + 1 < sent && seen[last + 1] == 0) ++last;
        t.lostRanges.push_back(last == i ? std::to_string(i) : std::to_string(i) + "-" + std::to_string(last));
        i = last;
    }
    return t;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", data[i]);
        out += buf;
    }
    return out;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::optional<ProcessSample> SampleProcess(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream statFile(base + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f;
    for (std::string x; fields >> x;) f.push_back(x);
    if (f.size() < 18) return std::nullopt;
    // After the command: state is field 3; utime 14, stime 15, num_threads 20.
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    ProcessSample s;
    s.cpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / ticks;
    s.threads = std::stoi(f[17]);
    s.rssKiB = std::atol(StatusLineValue(base + "/status", "VmRSS").c_str());
    s.hwmKiB = std::atol(StatusLineValue(base + "/status", "VmHWM").c_str());
    s.pssKiB = std::atol(StatusLineValue(base + "/smaps_rollup", "Pss").c_str());
    s.pssAnonKiB = std::atol(StatusLineValue(base + "/smaps_rollup", "Pss_Anon").c_str());
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(base + "/task", ec)) {
        const std::string status = task.path().string() + "/status";
        s.contextSwitches += std::atol(StatusLineValue(status, "voluntary_ctxt_switches").c_str()) +
                             std::atol(StatusLineValue(status, "nonvoluntary_ctxt_switches").c_str());
    }
    return s;
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

Verdict AllOf(std::initializer_list<Verdict> verdicts) {
    for (const Verdict v : verdicts)
        if (v == Verdict::Over || v == Verdict::Under) return v;
    return Verdict::Kept;
}

void SummaryRow(const std::string& figure, const std::string& measured, const std::string& limit, Verdict verdict) {
    const char* path = std::getenv("DRV_BENCH_SUMMARY");
    if (path == nullptr || *path == '\0') return;
    const char* mark = verdict == Verdict::Over ? " ✗ over" : verdict == Verdict::Under ? " ✗ under" : "";
    std::ofstream out(path, std::ios::app);
    out << "| " << figure << " | " << measured << mark << " | " << limit << " |\n";
}

void WriteZeroEventBacklog(const ScratchDir& dir, std::size_t files) {
    const std::uint8_t event[20] = {};
    const auto bytes = drv::BuildOb8(drv::kStationEventCode, event, sizeof event);
    const std::string content(bytes.begin(), bytes.end());
    for (std::size_t i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%07zX_1.ob8", i);
        dir.write(name, content);
    }
}

}  // namespace bench
