#include "tests/support/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/uniquefd.h"

namespace drvtest {

drv::UniqueFd ConnectLoopback(int port, bool nonBlocking) {
    drv::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && !nonBlocking) return {};
    return s;
}

HttpAnswer Http(int port, const std::string& requestLine, int timeoutMs) {
    HttpAnswer answer;
    drv::UniqueFd s = ConnectLoopback(port);
    if (!s.valid()) return answer;
    const std::string request = requestLine + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return answer;
    std::string text;
    for (;;) {
        pollfd p{s.get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) return answer;
        char buf[65536];
        const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        const auto end = text.find("\r\n\r\n");
        const auto length = text.find("Content-Length: ");
        if (end != std::string::npos && length != std::string::npos &&
            text.size() >= end + 4 + std::stoul(text.substr(length + 16)))
            break;
    }
    const auto end = text.find("\r\n\r\n");
    if (text.size() < 12 || end == std::string::npos) return answer;
    answer.status = std::stoi(text.substr(9, 3));
    answer.body = text.substr(end + 4);
    return answer;
}

}  // namespace drvtest
