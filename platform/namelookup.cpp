#include "platform/namelookup.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/uniquefd.h"

namespace drv {

struct NameLookup::State {
    UniqueFd event{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    mutable std::mutex mutex;
    bool done = false;
    int error = 0;
    std::vector<ResolvedAddress> addresses;

    void Finish(int err, std::vector<ResolvedAddress> found) {
        {
            std::lock_guard lock(mutex);
            done = true;
            error = err;
            addresses = std::move(found);
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto r = RetryEintr([&] { return ::write(event.get(), &one, sizeof one); });
    }
};

namespace {

int Resolve(const std::string& host, int port, int family, int flags, std::vector<ResolvedAddress>& out) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int err = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (err != 0) return err;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ResolvedAddress r;
        r.family = a->ai_family;
        r.socktype = a->ai_socktype;
        r.protocol = a->ai_protocol;
        std::memcpy(&r.address, a->ai_addr, a->ai_addrlen);
        r.length = a->ai_addrlen;
        out.push_back(r);
    }
    ::freeaddrinfo(list);
    return out.empty() ? EAI_NONAME : 0;
}

}  // namespace

int NameLookup::SystemResolve(const std::string& host, int port, int family, std::vector<ResolvedAddress>& out) {
    return Resolve(host, port, family, 0, out);
}

NameLookup::NameLookup(const std::string& host, int port, int family, Resolver resolver)
    : m_state(std::make_shared<State>()) {
    if (!m_state->event) throw std::system_error(errno, std::generic_category(), "eventfd");
    std::vector<ResolvedAddress> numeric;
    if (Resolve(host, port, family, AI_NUMERICHOST, numeric) == 0) {
        m_state->Finish(0, std::move(numeric));
        return;
    }
    if (!resolver) resolver = SystemResolve;
    try {
        // The thread holds the state, so an owner that has gone meanwhile costs nothing but the dropped answer.
        std::thread([state = m_state, host, port, family, resolver = std::move(resolver)] {
            std::vector<ResolvedAddress> found;
            int err = EAI_FAIL;
            try {
                err = resolver(host, port, family, found);
            } catch (...) {
                found.clear();
            }
            state->Finish(err, std::move(found));
        }).detach();
    } catch (const std::system_error&) {
        m_state->Finish(EAI_SYSTEM, {});
    }
}

NameLookup::~NameLookup() = default;

int NameLookup::fd() const { return m_state->event.get(); }

bool NameLookup::Done() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->done;
}

std::vector<ResolvedAddress> NameLookup::Addresses() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->addresses;
}

int NameLookup::Error() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->done ? m_state->error : 0;
}

}  // namespace drv
