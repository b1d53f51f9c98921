// drv-stationsim: plays the alarm receiving station on a serial line.
//
// It writes station frames (4 or 5 bytes) into a serial device, or into a pseudo-terminal pair it creates (it
// prints the path of the end the driver opens), paced at the line's speed, and prints every frame it sent, so
// that what reaches the server can be compared with it. Single-threaded; it ends when everything is sent.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/uniquefd.h"
#include "serial/linuxserial.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<std::uint8_t>;

const char* const kUsage = R"(usage: drv-stationsim (--pty | --device PATH) [options]

Where the frames go:
  --pty                 create a pseudo-terminal pair; print "pty PATH", PATH being the end the driver opens
  --link PATH           with --pty: also make PATH a symbolic link to that end (removed at exit)
  --device PATH         write into this serial device (programmed raw, 8N1, at --baud)
  --wait-open SECONDS   with --pty: wait until the driver has opened and set up the port (at most SECONDS),
                        then print "ready"; without it sending starts at once
  --start-when PATH     then wait until the file PATH exists (at most 60 s) before sending the first frame

What is sent (in this order; may be combined):
  --frame HEX           one frame, such as 13220A05 (repeatable)
  --file PATH           frames in hexadecimal, one a line; blank lines and lines starting with # are skipped
  --random COUNT        COUNT random frames (random objects and codes, 4- and 5-byte frames)
  --seed N              seed of the random frames (default 1)

How it is sent:
  --baud N              line speed in bit/s, 10 bits a byte (default 9600)
  --no-pace             write as fast as the device takes it instead of at the line's speed
  --rate N              frames a second (default: 5, so that each frame arrives alone)
  --burst K             send the frames in bursts of K, back to back, --rate being bursts a second
  --cut-every N         cut every Nth frame: only its first half is sent, followed by --cut-gap of silence
  --cut-gap MS          silence after a cut frame (default 200), so that the driver drops it
  --chunk-every MS      hand the line's bytes over in chunks every MS milliseconds, as a USB adapter with that
                        latency timer does (16 is common): each chunk holds what the line carried since the last
  --chunk-random MIN:MAX  hand them over at random gaps between MIN and MAX milliseconds, as a relayed line does
                        (both on top of the pacing at --baud; --seed also seeds the gaps)
  --first-number N      the driver's FirstNumber, for the object numbers printed (default 4)
  --hold SECONDS        keep the line open this long after the last frame (default 1): bytes the driver has not
                        read yet are lost when the simulator closes a pseudo-terminal
  --hold-until-close S  with --pty: keep it open after the last frame until the driver closes the port (at most
                        S seconds)

Playing an unplugged USB adapter (with --pty, best with --link):
  --vanish-after N      after the Nth frame and one more frame period, the pseudo-terminal and its link vanish
                        (print "vanished"); after --vanish-for a new pseudo-terminal appears under the same link
                        (print "pty PATH", and "ready" with --wait-open once the driver has reopened it), and
                        sending goes on
  --vanish-for MS       how long the device stays away (default 3000)

Output, one line each: "pty PATH", "ready", "vanished", "sent HEX object=N code=XX event=EVENT at=MS" for
every whole frame, "cut HEX" for every cut one, and at the end "done FRAMES CUT BYTES". EVENT is the 20-byte event
the driver must make of the frame (in hexadecimal, with the --first-number given), MS the moment the frame's last
byte went into the line, in milliseconds of the system's monotonic clock.
)";

[[noreturn]] void Die(const std::string& message) {
    std::fprintf(stderr, "drv-stationsim: %s\n", message.c_str());
    std::exit(2);
}

// The frame's length as its first byte announces it: 4 bytes with bit 4 set, else 5.
std::size_t AnnouncedLength(std::uint8_t b0) { return (b0 & 0x10) != 0 ? 4 : 5; }

// The object number a frame carries: bits 7..5 of b0 are bits 14..12 of the number, bits 3..0 of b0 its bits
// 11..8, b1 its low byte.
std::int32_t ObjectOf(const Frame& f) {
    const int b1 = f.size() > 1 ? f[1] : 0;
    return ((f[0] & 0xE0) << 7) | ((f[0] & 0x0F) << 8) | b1;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < size; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 0x0F];
    }
    return s;
}

Frame ParseHexFrame(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\t' || c == '\r') continue;
        digits += c;
    }
    if (digits.size() % 2 != 0 || digits.empty()) Die("not a frame in hexadecimal: " + text);
    Frame f;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string byte = digits.substr(i, 2);
        const long v = std::strtol(byte.c_str(), &end, 16);
        if (end != byte.c_str() + 2) Die("not a frame in hexadecimal: " + text);
        f.push_back(static_cast<std::uint8_t>(v));
    }
    if (f.size() != AnnouncedLength(f[0])) {
        std::fprintf(stderr, "drv-stationsim: warning: %s is %zu bytes, its first byte announces %zu\n", text.c_str(),
                     f.size(), AnnouncedLength(f[0]));
    }
    return f;
}

// The 20-byte event the driver makes of a whole frame: the object number plus firstNumber x 10000 (32-bit,
// little-endian), the length 2 and b2 as two upper-case hexadecimal digits, two zero bytes, b3, b4 (zero for a
// 4-byte frame), eight zero bytes and ')'.
std::string ExpectedEvent(const Frame& f, int firstNumber) {
    std::uint8_t e[20] = {};
    const std::uint32_t object =
        static_cast<std::uint32_t>(ObjectOf(f)) + static_cast<std::uint32_t>(firstNumber) * 10000u;
    for (int i = 0; i < 4; ++i) e[i] = static_cast<std::uint8_t>(object >> (8 * i));
    const std::uint8_t code = f.size() > 2 ? f[2] : 0;
    const std::string digits = Hex(&code, 1);
    e[4] = 2;
    e[5] = static_cast<std::uint8_t>(digits[0]);
    e[6] = static_cast<std::uint8_t>(digits[1]);
    e[9] = f.size() > 3 ? f[3] : 0;
    e[10] = AnnouncedLength(f[0]) == 5 && f.size() > 4 ? f[4] : 0;
    e[19] = 0x29;
    return Hex(e, sizeof e);
}

Frame RandomFrame(std::mt19937& rng) {
    const bool four = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
    const int object = std::uniform_int_distribution<int>(0, 32767)(rng);
    const int high = object >> 8;
    // bits 6..4 of the high byte go to bits 7..5 of b0, bits 3..0 stay; bit 4 says the length.
    const auto b0 = static_cast<std::uint8_t>(((high & 0x70) << 1) | (high & 0x0F) | (four ? 0x10 : 0x00));
    Frame f{b0, static_cast<std::uint8_t>(object & 0xFF)};
    std::uniform_int_distribution<int> byte(0, 255);
    f.push_back(static_cast<std::uint8_t>(byte(rng)));
    f.push_back(static_cast<std::uint8_t>(byte(rng)));
    if (!four) f.push_back(static_cast<std::uint8_t>(byte(rng)));
    return f;
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = drv::RetryEintr([&] { return ::write(fd, data, size); });
        if (n < 0) {
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            Die(std::string("write: ") + std::strerror(errno));
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

struct Options {
    bool pty = false;
    std::string link;
    std::string device;
    double waitOpen = -1;
    std::string startWhen;
    std::vector<Frame> frames;
    int randomCount = 0;
    unsigned seed = 1;
    unsigned baud = 9600;
    bool pace = true;
    double rate = 5;
    int burst = 1;
    int cutEvery = 0;
    int cutGapMs = 200;
    int firstNumber = 4;
    double hold = 1;
    double holdUntilClose = -1;
    int vanishAfter = 0;
    int vanishForMs = 3000;
    double chunkMin = 0;  // hand-over gaps in ms; 0: every frame is written when the line has carried it
    double chunkMax = 0;
};

Options ParseArgs(int argc, char** argv) {
    Options o;
    std::vector<Frame> fileFrames;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--pty") {
            o.pty = true;
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--device") {
            o.device = value();
        } else if (a == "--wait-open") {
            o.waitOpen = std::atof(value().c_str());
        } else if (a == "--start-when") {
            o.startWhen = value();
        } else if (a == "--frame") {
            o.frames.push_back(ParseHexFrame(value()));
        } else if (a == "--file") {
            std::ifstream in(value());
            if (!in) Die("cannot read the frame file");
            std::string line;
            while (std::getline(in, line)) {
                const auto start = line.find_first_not_of(" \t\r");
                if (start == std::string::npos || line[start] == '#') continue;
                o.frames.push_back(ParseHexFrame(line.substr(start)));
            }
        } else if (a == "--random") {
            o.randomCount = std::atoi(value().c_str());
        } else if (a == "--seed") {
            o.seed = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
        } else if (a == "--baud") {
            o.baud = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
        } else if (a == "--no-pace") {
            o.pace = false;
        } else if (a == "--rate") {
            o.rate = std::atof(value().c_str());
        } else if (a == "--burst") {
            o.burst = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--cut-every") {
            o.cutEvery = std::max(0, std::atoi(value().c_str()));
        } else if (a == "--cut-gap") {
            o.cutGapMs = std::max(0, std::atoi(value().c_str()));
        } else if (a == "--first-number") {
            o.firstNumber = std::atoi(value().c_str());
        } else if (a == "--hold") {
            o.hold = std::atof(value().c_str());
        } else if (a == "--hold-until-close") {
            o.holdUntilClose = std::atof(value().c_str());
        } else if (a == "--vanish-after") {
            o.vanishAfter = std::max(0, std::atoi(value().c_str()));
        } else if (a == "--vanish-for") {
            o.vanishForMs = std::max(0, std::atoi(value().c_str()));
        } else if (a == "--chunk-every") {
            o.chunkMin = o.chunkMax = std::atof(value().c_str());
        } else if (a == "--chunk-random") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) Die("--chunk-random wants MIN:MAX");
            o.chunkMin = std::atof(v.substr(0, colon).c_str());
            o.chunkMax = std::atof(v.substr(colon + 1).c_str());
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            std::fputs(kUsage, stderr);
            Die("unknown argument " + a);
        }
    }
    if (o.pty == !o.device.empty()) Die("give exactly one of --pty and --device");
    if (o.baud == 0) Die("--baud must be above 0");
    if (o.vanishAfter > 0 && !o.pty) Die("--vanish-after needs --pty");
    if (o.rate <= 0) Die("--rate must be above 0");
    if (o.chunkMin < 0 || o.chunkMax < o.chunkMin) Die("chunk gaps must be 0 or more, MIN not above MAX");
    if (o.chunkMax > 0 && (!o.pace || o.vanishAfter > 0))
        Die("chunked hand-over goes with pacing, without --vanish-after");
    std::mt19937 rng(o.seed);
    for (int i = 0; i < o.randomCount; ++i) o.frames.push_back(RandomFrame(rng));
    return o;
}

// Waits until the driver has opened the far end and purged it while setting up the line: in packet mode the
// master learns of the purge.
bool WaitForDriver(int master, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        pollfd p{master, POLLIN | POLLPRI, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLIN | POLLPRI))) {
            std::uint8_t buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0 && buf[0] != TIOCPKT_DATA && (buf[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))) return true;
            if (n > 0) continue;
        }
        // While nobody has the far end open the master reports a hang-up at once: do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Waits until nobody has the far end open any more: the master then reports a hang-up.
void WaitForClose(int master, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        pollfd p{master, POLLIN | POLLPRI, 0};
        if (::poll(&p, 1, 20) > 0) {
            if (p.revents & POLLHUP) return;
            std::uint8_t buf[256];
            if (::read(master, buf, sizeof buf) < 0 && errno == EIO) return;
        }
    }
}

// Creates the pseudo-terminal pair the driver opens, prints "pty PATH", makes the --link to it and, with
// --wait-open, waits for the driver and prints "ready". Returns the master; the slave is closed so that the
// driver's open is the only one.
drv::UniqueFd OpenPty(const Options& o) {
    int m = -1;
    int s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) < 0) Die(std::string("openpty: ") + std::strerror(errno));
    drv::UniqueFd master(m);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    drv::UniqueFd slave(s);
    const char* name = ::ptsname(m);
    if (name == nullptr) Die("ptsname failed");
    const std::string slavePath = name;
    // Keep the master reading the slave's purges.
    int on = 1;
    if (o.waitOpen >= 0 && ::ioctl(m, TIOCPKT, &on) < 0) Die(std::string("TIOCPKT: ") + std::strerror(errno));
    slave.reset();
    if (!o.link.empty()) {
        ::unlink(o.link.c_str());
        if (::symlink(slavePath.c_str(), o.link.c_str()) < 0)
            Die("cannot create the link " + o.link + ": " + std::strerror(errno));
    }
    std::printf("pty %s\n", slavePath.c_str());
    if (o.waitOpen >= 0) {
        if (!WaitForDriver(m, o.waitOpen)) Die("the driver did not open the port in time");
        std::printf("ready\n");
    }
    return master;
}

std::string SentLine(const Frame& f, int firstNumber, double at) {
    const auto object = static_cast<std::int32_t>(static_cast<std::uint32_t>(ObjectOf(f)) +
                                                  static_cast<std::uint32_t>(firstNumber) * 10000u);
    char tail[64];
    std::snprintf(tail, sizeof tail, " at=%.3f", at);
    return "sent " + Hex(f.data(), f.size()) + " object=" + std::to_string(object) +
           " code=" + (f.size() > 2 ? Hex(&f[2], 1) : std::string()) + " event=" + ExpectedEvent(f, firstNumber) + tail;
}

struct ChunkTotals {
    std::size_t frames = 0, cut = 0, bytes = 0;
};

// Plays the line behind an adapter or a relay: the bytes leave the station paced at the line's speed (frames
// --rate a second, in bursts of --burst, cut frames followed by their silence), and are handed over in chunks
// holding whatever the line carried by then, every chunkMin ms or at random gaps up to chunkMax ms. A frame's
// "at" is the moment the chunk with its last byte was written.
ChunkTotals SendChunked(int out, const Options& o) {
    ChunkTotals totals;
    const double byteMs = 10000.0 / o.baud;
    const double periodMs = 1000.0 / o.rate;
    // The line, frame by frame as time goes on: the frame being carried, how many of its bytes go out (half of a
    // cut one), and the moment the line is free again (ms after the start).
    std::size_t index = 0;
    std::size_t group = 0;
    int inGroup = 0;
    std::size_t pos = 0;
    double lineFree = 0;
    bool started = false;
    auto isCut = [&](std::size_t i) { return o.cutEvery > 0 && (i + 1) % static_cast<std::size_t>(o.cutEvery) == 0; };
    auto lengthOf = [&](std::size_t i) {
        const Frame& f = o.frames[i];
        return isCut(i) ? std::max<std::size_t>(1, f.size() / 2) : f.size();
    };
    std::vector<std::uint8_t> chunk;
    std::vector<std::size_t> finished;  // frames whose last byte is in the chunk

    std::mt19937 rng(o.seed ^ 0x5bd1e995u);
    std::uniform_real_distribution<double> gap(o.chunkMin, o.chunkMax);
    const auto start = Clock::now();
    double next = gap(rng);
    while (index < o.frames.size()) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(next)));
        const double now = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        chunk.clear();
        finished.clear();
        // Everything the line has carried by now.
        while (index < o.frames.size()) {
            if (!started) {
                if (inGroup == o.burst) {
                    ++group;
                    inGroup = 0;
                }
                lineFree = std::max(lineFree, static_cast<double>(group) * periodMs);
                started = true;
            }
            if (lineFree + byteMs > now) break;
            lineFree += byteMs;
            chunk.push_back(o.frames[index][pos++]);
            if (pos < lengthOf(index)) continue;
            finished.push_back(index);
            if (isCut(index)) lineFree += o.cutGapMs;
            ++index;
            ++inGroup;
            pos = 0;
            started = false;
        }
        if (!chunk.empty()) {
            WriteAll(out, chunk.data(), chunk.size());
            totals.bytes += chunk.size();
            const double at = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
            for (const std::size_t i : finished) {
                const Frame& f = o.frames[i];
                if (isCut(i)) {
                    ++totals.cut;
                    std::printf("cut %s\n", Hex(f.data(), lengthOf(i)).c_str());
                } else {
                    ++totals.frames;
                    std::printf("%s\n", SentLine(f, o.firstNumber, at).c_str());
                }
            }
        }
        next += std::max(gap(rng), 0.5);
    }
    return totals;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options o = ParseArgs(argc, argv);

    drv::UniqueFd out;
    drv::UniqueFd master;
    if (o.pty) {
        master = OpenPty(o);
        out.reset(::dup(master.get()));
    } else {
        out.reset(drv::RetryEintr([&] { return ::open(o.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }));
        if (!out) Die("cannot open " + o.device + ": " + std::strerror(errno));
        if (!drv::ConfigureRawLine(out.get(), o.baud))
            Die(std::string("cannot program the line: ") + std::strerror(errno));
    }

    if (!o.startWhen.empty()) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (::access(o.startWhen.c_str(), F_OK) != 0) {
            if (Clock::now() > deadline) Die("no " + o.startWhen + " within 60 s");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    const auto byteTime = std::chrono::duration<double>(10.0 / o.baud);
    const auto period = std::chrono::duration<double>(1.0 / o.rate);
    auto lineFree = Clock::now();
    auto nextGroup = Clock::now();
    std::size_t sentFrames = 0;
    std::size_t cutFrames = 0;
    std::size_t bytes = 0;
    std::size_t index = 0;

    // Sends a frame as the line would: never before the line is free, and the line is then busy for as long as
    // its bytes take. The bytes of one frame go in one write: a station's frame is a few milliseconds of back-to-back
    // characters, and a simulator stalled by the scheduler between two of them would cut a frame no station cuts.
    auto send = [&](const std::uint8_t* data, std::size_t size) {
        if (!o.pace) {
            WriteAll(out.get(), data, size);
            return;
        }
        std::this_thread::sleep_until(lineFree);
        WriteAll(out.get(), data, size);
        lineFree = std::max(lineFree, Clock::now()) +
                   std::chrono::duration_cast<Clock::duration>(byteTime * static_cast<double>(size));
    };

    if (o.chunkMax > 0) {
        const ChunkTotals t = SendChunked(out.get(), o);
        sentFrames = t.frames;
        cutFrames = t.cut;
        bytes = t.bytes;
        index = o.frames.size();
    }
    while (index < o.frames.size()) {
        std::this_thread::sleep_until(nextGroup);
        nextGroup = Clock::now() + std::chrono::duration_cast<Clock::duration>(period);
        for (int k = 0; k < o.burst && index < o.frames.size(); ++k, ++index) {
            const Frame& f = o.frames[index];
            if (o.cutEvery > 0 && (index + 1) % static_cast<std::size_t>(o.cutEvery) == 0) {
                const std::size_t half = std::max<std::size_t>(1, f.size() / 2);
                send(f.data(), half);
                bytes += half;
                ++cutFrames;
                std::printf("cut %s\n", Hex(f.data(), half).c_str());
                std::this_thread::sleep_for(std::chrono::milliseconds(o.cutGapMs));
                lineFree = Clock::now();
                continue;
            }
            send(f.data(), f.size());
            const double at = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
            bytes += f.size();
            ++sentFrames;
            const auto object = static_cast<std::int32_t>(static_cast<std::uint32_t>(ObjectOf(f)) +
                                                          static_cast<std::uint32_t>(o.firstNumber) * 10000u);
            std::printf("sent %s object=%d code=%s event=%s at=%.3f\n", Hex(f.data(), f.size()).c_str(), object,
                        f.size() > 2 ? Hex(&f[2], 1).c_str() : "", ExpectedEvent(f, o.firstNumber).c_str(), at);
            if (o.vanishAfter > 0 && sentFrames == static_cast<std::size_t>(o.vanishAfter)) {
                // The frame just sent has a frame period to be read; then the device is gone, its unread bytes
                // with it, as with an adapter pulled out.
                std::this_thread::sleep_for(period);
                out.reset();
                master.reset();
                if (!o.link.empty()) ::unlink(o.link.c_str());
                std::printf("vanished\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(o.vanishForMs));
                master = OpenPty(o);
                out.reset(::dup(master.get()));
                lineFree = Clock::now();
                nextGroup = Clock::now();
            }
        }
    }
    if (o.pty && o.holdUntilClose >= 0) {
        WaitForClose(master.get(), o.holdUntilClose);
    } else if (o.hold > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.hold));
    }
    std::printf("done %zu %zu %zu\n", sentFrames, cutFrames, bytes);
    if (!o.link.empty()) ::unlink(o.link.c_str());
    return 0;
}
