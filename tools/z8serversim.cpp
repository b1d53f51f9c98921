// drv-z8serversim: a Z8 server for tests, the demo and commissioning. Listens on a port, answers every frame the
// driver sends and prints each one decoded on standard output. Ends on SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tools/stopflag.h"
#include "z8link/z8server.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: drv-z8serversim [options]\n"
                 "  --port N            listen on port N (default 12543; 0: any free port)\n"
                 "  --bind ADDR         listen on this IPv4 address (default 127.0.0.1)\n"
                 "  --ack               answer every station event with 0x03000021\n"
                 "  --poll              answer the hello with 0x02000003 (switch polling on)\n"
                 "  --delay MS          answer every frame MS milliseconds late\n"
                 "  --trickle MS        write every answer one byte at a time, MS milliseconds apart\n"
                 "  --silent            never answer\n"
                 "  --times             begin every printed frame with \"at MS \": when its last bytes reached\n"
                 "                      the socket, in milliseconds of the system's monotonic clock\n"
                 "  --after N ACTION    answer frame number N (counted from 1 over the run) with ACTION:\n"
                 "                        close       close the connection instead of answering\n"
                 "                        deny        access denied (0x02000005)\n"
                 "                        disconnect  disconnect command (0x02FFFFFD)\n"
                 "                        drop        drop-connection command (0x02FFFFFE)\n"
                 "                        request     request (0x02000004)\n"
                 "                        badprefix   a reply whose prefix starts with 0x00\n"
                 "                        short       a 10-byte body\n"
                 "                        badmarker   an 18-byte body whose end marker is wrong\n"
                 "                        negative    a prefix announcing a negative length\n"
                 "                        huge        a prefix announcing 64 MiB\n"
                 "                        big         a valid reply with a 120000-byte body, sent in pieces\n"
                 "                      (may be given several times)\n");
}

bool MakeAction(const std::string& name, drv::z8::ServerAction& action) {
    using namespace drv::z8;
    Bytes frame;
    if (name == "close") {
        action.closeBefore = true;
    } else if (name == "deny") {
        action.bytes = ReplyFrame(kAccessDenied);
    } else if (name == "disconnect") {
        action.bytes = ReplyFrame(kDisconnect);
    } else if (name == "drop") {
        action.bytes = ReplyFrame(kDropConnection);
    } else if (name == "request") {
        action.bytes = ReplyFrame(kRequest);
    } else if (name == "badprefix") {
        action.bytes = ReplyFrame(kPoll);
        action.bytes[0] = 0x00;
    } else if (name == "short") {
        action.bytes = BuildFrame(Bytes(10, 0xFF));
    } else if (name == "badmarker") {
        action.bytes = ReplyFrame(kPoll);
        action.bytes.back() = 0x00;
    } else if (name == "negative") {
        action.bytes = ReplyFrame(kPoll);
        PutU32(&action.bytes[5], 0xFFFFFFF0u);
    } else if (name == "huge") {
        action.bytes = ReplyFrame(kPoll);
        PutU32(&action.bytes[5], 64u << 20);
    } else if (name == "big") {
        Bytes body = BuildPacket(kPoll, 0, Bytes(120000 - kHeaderSize, 0x55));
        action.bytes = BuildFrame(body);
        action.chunkSize = 30000;
        action.chunkPauseMs = 100;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 12543;
    std::string bind = "127.0.0.1";
    drv::z8::ServerBehaviour behaviour;
    struct Planned {
        std::size_t frame;
        drv::z8::ServerAction action;
    };
    std::vector<Planned> planned;
    bool times = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            port = std::atoi(next().c_str());
        } else if (arg == "--bind") {
            bind = next();
        } else if (arg == "--ack") {
            behaviour.ackEvents = true;
        } else if (arg == "--poll") {
            behaviour.pollAfterHello = true;
        } else if (arg == "--delay") {
            behaviour.replyDelayMs = std::atoi(next().c_str());
        } else if (arg == "--trickle") {
            behaviour.trickleMs = std::atoi(next().c_str());
        } else if (arg == "--silent") {
            behaviour.silent = true;
        } else if (arg == "--times") {
            times = true;
        } else if (arg == "--after") {
            const auto n = static_cast<std::size_t>(std::strtoul(next().c_str(), nullptr, 10));
            Planned p{n, {}};
            if (n == 0 || !MakeAction(next(), p.action)) {
                Usage();
                return 2;
            }
            planned.push_back(std::move(p));
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    drvsim::StopOnSignals();

    try {
        drv::z8::Z8Server server(port, bind);
        server.SetBehaviour(behaviour);
        auto counter = std::make_shared<std::size_t>(0);
        auto mutex = std::make_shared<std::mutex>();
        server.SetScript(
            [counter, mutex, planned](const drv::z8::ReceivedFrame&) -> std::optional<drv::z8::ServerAction> {
                std::lock_guard lock(*mutex);
                const std::size_t n = ++*counter;
                for (const auto& p : planned) {
                    if (p.frame == n) return p.action;
                }
                return std::nullopt;
            });
        server.SetObserver([times](const drv::z8::ReceivedFrame& frame) {
            if (times) {
                const auto at = frame.arrivedAt.value_or(std::chrono::steady_clock::now()).time_since_epoch();
                std::printf("at %.3f ", std::chrono::duration<double, std::milli>(at).count());
            }
            std::printf("%s\n", drv::z8::DescribeFrame(frame).c_str());
            std::fflush(stdout);
        });
        std::printf("drv-z8serversim listening on %s:%d\n", bind.c_str(), server.Port());
        std::fflush(stdout);
        while (!drvsim::g_stop) pause();
        server.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "drv-z8serversim: %s\n", e.what());
        return 1;
    }
    return 0;
}
