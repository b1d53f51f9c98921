#include "app/statuscommand.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

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

// GET path from host:port over HTTP/1.1; the body of a 200 answer, or nullopt with the reason in `error`.
std::optional<std::string> HttpGet(const std::string& host, int port, const std::string& path, std::string& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int r = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); r != 0) {
        error = ::gai_strerror(r);
        return std::nullopt;
    }
    drv::UniqueFd fd;
    for (addrinfo* a = found; a != nullptr && !fd; a = a->ai_next) {
        drv::UniqueFd s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!s) continue;
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = std::strerror(errno);
            continue;
        }
        pollfd p{s.get(), POLLOUT, 0};
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::poll(&p, 1, MsLeft(deadline)) != 1 || ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
            soError != 0) {
            error = soError != 0 ? std::strerror(soError) : "no answer in time";
            continue;
        }
        fd = std::move(s);
    }
    ::freeaddrinfo(found);
    if (!fd) return std::nullopt;

    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    std::string answer;
    std::optional<std::size_t> bodyStart, length;
    for (;;) {
        if (bodyStart && length && answer.size() >= *bodyStart + *length) break;
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) != 1) {
            error = "no whole answer in time";
            return std::nullopt;
        }
        char buf[16384];
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
        if (!bodyStart) {
            const auto end = answer.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            bodyStart = end + 4;
            std::string head = answer.substr(0, end);
            for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (const auto h = head.find("\r\ncontent-length:"); h != std::string::npos)
                length = std::strtoull(head.c_str() + h + 17, nullptr, 10);
        }
    }
    if (!bodyStart || answer.compare(0, 9, "HTTP/1.1 ") != 0 || answer.compare(9, 3, "200") != 0) {
        error = "not a status answer";
        return std::nullopt;
    }
    return answer.substr(*bodyStart, length ? *length : std::string::npos);
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
    const std::string iniPath = drv::JoinPath(directory, drv::kConfigFileName);
    const drv::MetricsSettings m = drv::LoadMetricsSettings(iniPath);
    if (!m.On()) {
        std::fprintf(stderr,
                     "drvorvel: %s names no metrics endpoint ([metrics] Port is 0 or missing): no driver can be "
                     "asked\n",
                     iniPath.c_str());
        return kExitNoDriver;
    }
    std::string error;
    const std::string url = "http://" + m.Address + ":" + std::to_string(m.Port) + "/status";
    const auto body = HttpGet(m.Address, m.Port, "/status", error);
    if (!body) {
        std::fprintf(stderr, "drvorvel: no driver answers at %s (%s)\n", url.c_str(), error.c_str());
        return kExitNoDriver;
    }
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
    std::printf("  station link: %s, last frame %s ago\n", LinkLine(links.value("station").toObject()).c_str(),
                Age(s.value("last_frame_age_seconds").toDouble()).c_str());
    const QJsonObject line = s.value("station_line").toObject();
    std::printf("  station line: %lld resyncs, %lld bytes of incomplete frames dropped, resync gap %lld ms\n",
                count(line.value("resyncs")), count(line.value("bytes_dropped")), count(line.value("resync_gap_ms")));
    const std::string comPort = text(config.value("ComPort"));
    if (comPort == drv::kNoComPort) {
        std::printf("  port: none configured\n");
    } else {
        std::printf("  port: %s (%s) %s\n", comPort.c_str(), text(config.value("port_device")).c_str(),
                    s.value("port_open").toBool() ? "open" : "CLOSED");
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
