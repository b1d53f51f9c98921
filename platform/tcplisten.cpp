#include "platform/tcplisten.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace drv {

UniqueFd ListenTcp(const std::string& address, int port, int& boundPort,
                   const std::function<void(int fd)>& setOptions) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setOptions) setOptions(fd.get());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        throw std::runtime_error("not a dotted IPv4 address: " + address);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 8) != 0) {
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    socklen_t length = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length);
    boundPort = ntohs(addr.sin_port);
    return fd;
}

}  // namespace drv
