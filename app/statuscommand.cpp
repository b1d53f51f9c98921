#include "app/statuscommand.h"

#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/statussocket.h"
#include "core/config.h"
#include "platform/inifile.h"
#include "platform/uniquefd.h"

namespace {

constexpr int kExitUp = 0;
constexpr int kExitLinkDown = 1;
constexpr int kExitNoDriver = 3;
constexpr int kTimeoutMs = 3000;

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// The status the driver of directory publishes on its socket, or nullopt with the reason (and the exit status
// kExitNoDriver) told on standard error.
std::optional<std::string> AskDriver(const std::string& directory) {
    const auto tell = [&](const std::string& why) {
        std::fprintf(stderr, "drvorvel: %s\n", why.c_str());
        return std::nullopt;
    };
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0)
        return tell("no driver runs in " + directory + ": " +
                    (errno == ENOENT ? std::string("there is no such directory") : std::strerror(errno)));
    if (!S_ISDIR(st.st_mode)) return tell("no driver runs in " + directory + ": it is no directory");
    sockaddr_un address{};
    drv::UniqueFd dirFd;
    if (!StatusSocketAddress(directory, &address, &dirFd))
        return tell("cannot look into " + directory + ": " + std::strerror(errno));
    drv::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return tell(std::string("cannot make a socket: ") + std::strerror(errno));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            const bool configured = ::access(drv::JoinPath(directory, drv::kConfigFileName).c_str(), F_OK) == 0;
            return tell("no driver runs in " + directory +
                        (configured ? std::string() : std::string(" (and it holds no ") + drv::kConfigFileName + ")"));
        }
        return tell("cannot ask the driver in " + directory + ": " + std::strerror(errno));
    }
    // Only the driver that runs in this very directory may answer for it.
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0 && peer.pid > 0) {
        char wanted[PATH_MAX], found[PATH_MAX];
        const std::string cwd = "/proc/" + std::to_string(peer.pid) + "/cwd";
        const ssize_t n = ::readlink(cwd.c_str(), found, sizeof found - 1);
        if (n > 0 && ::realpath(directory.c_str(), wanted) != nullptr &&
            std::string(found, static_cast<std::size_t>(n)) != wanted) {
            return tell("the status socket in " + directory + " belongs to process " + std::to_string(peer.pid) +
                        ", which runs in " + std::string(found, static_cast<std::size_t>(n)) +
                        ": no driver of this directory answers");
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    std::string answer;
    for (;;) {
        pollfd p{fd.get(), POLLIN, 0};
        const int r = ::poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r != 1) return tell("the driver in " + directory + " did not answer in time");
        char buf[16384];
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    return answer;
}

std::string Age(double seconds) {
    const auto s = static_cast<long long>(std::llround(seconds));
    if (s < 120) return std::to_string(s) + " s";
    if (s < 2 * 3600) return std::to_string(s / 60) + " min";
    if (s < 2 * 86400) return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
    return std::to_string(s / 86400) + " days";
}

std::string LinkLine(const QJsonObject& link) {
    if (!link.value("enabled").toBool(true)) return "off";
    return std::string(link.value("up").toBool() ? "up" : "DOWN") + " (" +
           link.value("reason").toString().toStdString() + ")";
}

}  // namespace

int RunStatusCommand(const std::string& directory) {
    const auto body = AskDriver(directory);
    if (!body) return kExitNoDriver;
    const std::string url = "the driver in " + directory;
    const QJsonObject s = QJsonDocument::fromJson(QByteArray::fromStdString(*body)).object();
    if (s.isEmpty()) {
        std::fprintf(stderr, "drvorvel: %s did not answer with a driver's status\n", url.c_str());
        return kExitNoDriver;
    }
    const QJsonObject links = s.value("links").toObject();
    const QJsonObject events = s.value("events").toObject();
    const QJsonObject spool = s.value("spool").toObject();
    const QJsonObject config = s.value("configuration").toObject();
    const auto text = [](const QJsonValue& v) { return v.toString().toStdString(); };
    const auto count = [](const QJsonValue& v) { return static_cast<long long>(v.toDouble()); };

    std::printf("drvorvel %s in %s, running for %s\n", text(s.value("version")).c_str(),
                text(config.value("working_directory")).c_str(), Age(s.value("uptime_seconds").toDouble()).c_str());
    if (s.value("frame_heard").toBool(true)) {
        std::printf("  station link: %s, last frame %s ago\n", LinkLine(links.value("station").toObject()).c_str(),
                    Age(s.value("last_frame_age_seconds").toDouble()).c_str());
    } else {
        std::printf("  station link: %s, no frame since the start\n",
                    LinkLine(links.value("station").toObject()).c_str());
    }
    const QJsonObject line = s.value("station_line").toObject();
    std::printf("  station line: %lld resyncs, %lld bytes of incomplete frames dropped, resync gap %lld ms\n",
                count(line.value("resyncs")), count(line.value("bytes_dropped")), count(line.value("resync_gap_ms")));
    const std::string comPort = text(config.value("ComPort"));
    if (comPort == drv::kNoComPort) {
        std::printf("  port: none configured\n");
    } else {
        const int holder = s.value("port_holder_pid").toInt();
        const std::string held = holder != 0 ? ", held by process " + std::to_string(holder) : std::string();
        std::printf("  port: %s (%s) %s%s\n", comPort.c_str(), text(config.value("port_device")).c_str(),
                    s.value("port_open").toBool() ? "open" : "CLOSED", held.c_str());
    }
    std::printf("  Z8 link: %s, server %s:%d\n", LinkLine(links.value("z8").toObject()).c_str(),
                text(config.value("z8_address")).c_str(), config.value("z8_port").toInt());
    std::printf("  Z7 link: %s\n", LinkLine(links.value("z7").toObject()).c_str());
    const long long pending = count(spool.value("ob8"));
    std::printf("  spool: %lld events waiting", pending);
    if (pending + count(spool.value("obz")) > 0)
        std::printf(", the oldest for %s", Age(spool.value("oldest_age_seconds").toDouble()).c_str());
    std::printf(", %lld Z7 records, %lld set aside, %lld in memory\n", count(spool.value("obz")),
                count(spool.value("bad")), count(spool.value("memory_backlog")));
    std::printf("  events today: %lld; since the start: %lld delivered live, %lld from the spool, %lld spooled\n",
                count(events.value("today")), count(events.value("delivered_live")),
                count(events.value("delivered_spool")), count(events.value("spooled")));

    const QJsonObject z8 = links.value("z8").toObject();
    const bool stationUp = links.value("station").toObject().value("up").toBool();
    const bool z8Up = !z8.value("enabled").toBool(true) || z8.value("up").toBool();
    return stationUp && z8Up ? kExitUp : kExitLinkDown;
}
