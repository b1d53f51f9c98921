// drv-z7serversim: a Z7 message server for tests, the demo and commissioning. Listens on a port, prints every
// record the driver sends decoded, and sends what it is told: on standard input, one command a line, or with
// --after at a given point of the run. Ends on SIGINT, SIGTERM or the command "quit".
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "tools/stopflag.h"
#include "z7link/z7record.h"
#include "z7link/z7server.h"

namespace {

const char* const kUsage = R"(usage: drv-z7serversim [options]
  --port N          listen on port N (default 7788; 0: any free port)
  --bind ADDR       listen on this IPv4 address (default 127.0.0.1)
  --after N CMD     run CMD once the Nth record (counted over the run, from 1) has been received; repeatable

Commands (on standard input, one a line, or as CMD of --after):
  clock YYYY-MM-DD HH:MM:SS[.mmm]   a code-4 record: set the driver's clock to this local time
  clock now                         a code-4 record with the time now
  clock garbage                     a code-4 record whose date-time is not a number
  clock-value X                     a code-4 record carrying the date-time value X (days since 1899-12-30)
  close-driver                      a code-17 record: the driver closes
  record CODE [PARAM [VALUE]]       a record of any code
  nosig                             555 bytes without the record signature
  split N CMD                       the bytes of CMD in N writes, 50 ms apart
  repeat N CMD                      N times the bytes of CMD, in one write
  disconnect                        close the connection
  stop-reading                      stop reading, so that the driver's sends back up
  read                              read again
  quit                              end

Output, one line each: "listening on ADDR:PORT", "conn N accepted", "conn N: <record decoded>" for every 555 bytes
received, "sending <command>" for every command.
)";

std::mutex g_outMutex;
void Say(const std::string& line) {
    std::lock_guard lock(g_outMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::vector<std::uint8_t> Bytes(const drv::z7::Record& r) { return {r.begin(), r.end()}; }

bool ParseClock(const std::string& text, drv::TDateTime& value) {
    if (text == "now") {
        value = drv::Now();
        return true;
    }
    if (text == "garbage") {
        value = std::nan("");
        return true;
    }
    drv::DateTimeParts p;
    int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &p.year, &p.month, &p.day, &p.hour, &p.minute, &p.second,
                        &p.msec);
    if (n < 6) return false;
    if (n == 6) p.msec = 0;
    value = drv::EncodeDateTime(p);
    return true;
}

// The bytes of one command and how many writes they go in; false for a command that is not a write.
bool BuildBytes(std::istringstream& in, std::vector<std::uint8_t>& bytes, int& parts, std::string& error) {
    std::string word;
    in >> word;
    if (word == "clock") {
        std::string rest;
        std::getline(in >> std::ws, rest);
        drv::TDateTime value = 0;
        if (!ParseClock(rest, value)) {
            error = "clock wants YYYY-MM-DD HH:MM:SS[.mmm], now or garbage";
            return false;
        }
        bytes = Bytes(drv::z7::BuildClockRecord(value));
    } else if (word == "clock-value") {
        double value = 0;
        if (!(in >> value)) {
            error = "clock-value wants a number";
            return false;
        }
        bytes = Bytes(drv::z7::BuildClockRecord(value));
    } else if (word == "close-driver") {
        bytes = Bytes(drv::z7::BuildRecord(drv::z7::kClose));
    } else if (word == "record") {
        int code = -1, param = 0;
        long value = 0;
        if (!(in >> code) || code < 0 || code > 255) {
            error = "record wants a code 0..255";
            return false;
        }
        in >> param >> value;
        bytes = Bytes(drv::z7::BuildRecord(static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(param),
                                           static_cast<std::int32_t>(value)));
    } else if (word == "nosig") {
        bytes.assign(drv::z7::kRecordSize, 0x5A);
    } else if (word == "split" || word == "repeat") {
        int n = 0;
        if (!(in >> n) || n < 1 || n > 10000) {
            error = word + " wants a count from 1";
            return false;
        }
        std::vector<std::uint8_t> inner;
        int innerParts = 1;
        if (!BuildBytes(in, inner, innerParts, error)) return false;
        if (word == "split") {
            bytes = std::move(inner);
            parts = n;
        } else {
            for (int i = 0; i < n; ++i) bytes.insert(bytes.end(), inner.begin(), inner.end());
            parts = innerParts;
        }
    } else {
        error = "unknown command \"" + word + "\"";
        return false;
    }
    return true;
}

// Runs one command; false for "quit".
bool Run(drv::z7::Z7Server& server, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word.empty()) return true;
    if (word == "quit") return false;
    if (word == "help") {
        std::fputs(kUsage, stderr);
        return true;
    }
    Say("sending " + line);
    if (word == "disconnect") {
        server.CloseConnection();
    } else if (word == "stop-reading") {
        server.SetReading(false);
    } else if (word == "read") {
        server.SetReading(true);
    } else {
        std::istringstream whole(line);
        std::vector<std::uint8_t> bytes;
        int parts = 1;
        std::string error;
        if (!BuildBytes(whole, bytes, parts, error)) {
            std::fprintf(stderr, "drv-z7serversim: %s\n", error.c_str());
            return true;
        }
        std::vector<std::size_t> sizes;
        const std::size_t each = (bytes.size() + static_cast<std::size_t>(parts) - 1) / static_cast<std::size_t>(parts);
        for (int i = 0; i + 1 < parts; ++i) sizes.push_back(each);
        server.Send(std::move(bytes), sizes);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 7788;
    std::string bind = "127.0.0.1";
    struct Planned {
        std::size_t after;
        std::string command;
    };
    std::vector<Planned> planned;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fputs(kUsage, stderr);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            port = std::atoi(next().c_str());
        } else if (arg == "--bind") {
            bind = next();
        } else if (arg == "--after") {
            const auto n = static_cast<std::size_t>(std::strtoul(next().c_str(), nullptr, 10));
            planned.push_back({n, next()});
        } else {
            std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    drvsim::StopOnSignals();

    try {
        drv::z7::Z7Server server(port, bind);
        std::mutex countMutex;
        std::size_t received = 0;
        server.SetConnectionObserver([](int connection) { Say("conn " + std::to_string(connection) + " accepted"); });
        server.SetObserver([&](const drv::z7::ReceivedPiece& piece) {
            Say("conn " + std::to_string(piece.connection) + ": " + drv::z7::Describe(piece.bytes.data()));
            std::size_t n = 0;
            {
                std::lock_guard lock(countMutex);
                n = ++received;
            }
            for (const auto& p : planned) {
                if (p.after == n) Run(server, p.command);
            }
        });
        Say("drv-z7serversim listening on " + bind + ":" + std::to_string(server.Port()));
        bool input = true;
        std::string pendingLine;
        while (!drvsim::g_stop) {
            pollfd in{0, POLLIN, 0};
            const int r = ::poll(&in, input ? 1 : 0, 200);
            if (r <= 0 || !(in.revents & (POLLIN | POLLHUP))) continue;
            char buf[512];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                input = false;  // no more commands: serve until stopped
                continue;
            }
            pendingLine.append(buf, static_cast<std::size_t>(n));
            for (auto eol = pendingLine.find('\n'); eol != std::string::npos; eol = pendingLine.find('\n')) {
                const std::string line = pendingLine.substr(0, eol);
                pendingLine.erase(0, eol + 1);
                if (!Run(server, line)) drvsim::g_stop = 1;
            }
        }
        server.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drv-z7serversim: %s\n", e.what());
        return 1;
    }
    return 0;
}
