#pragma once

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace drv {

// One address of a host, ready for socket() and connect().
struct ResolvedAddress {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
};

// A host name looked up without making its owner wait for a name server. A numeric address is answered at once;
// a name is looked up on a helper thread of its own. The answer is announced on fd(), which becomes readable and
// stays so, so that an event loop or a poll() can watch it beside other descriptors.
//
// Owned and used by one thread. Destroying the object never waits: a lookup still running is abandoned and its
// answer dropped when it comes.
class NameLookup {
public:
    // Fills `out` with the addresses of host and gives 0, or gives a getaddrinfo error code. May block.
    using Resolver = std::function<int(const std::string& host, int port, int family, std::vector<ResolvedAddress>& out)>;

    // family: AF_INET for IPv4 addresses only, AF_UNSPEC for any. resolver: empty for the C library's getaddrinfo
    // (tests inject one that is slow or never answers).
    NameLookup(const std::string& host, int port, int family, Resolver resolver = {});
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Readable once the answer is there.
    int fd() const;
    bool Done() const;
    // Once Done(): the addresses found, in the resolver's order (empty when none), and getaddrinfo's error code
    // (0 when found).
    std::vector<ResolvedAddress> Addresses() const;
    int Error() const;

    // The C library's lookup, blocking.
    static int SystemResolve(const std::string& host, int port, int family, std::vector<ResolvedAddress>& out);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

}  // namespace drv
