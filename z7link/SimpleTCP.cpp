#include "z7link/SimpleTCP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/faults.h"
#include "platform/uniquefd.h"

namespace {

constexpr std::int32_t kWouldBlock = 10035;
constexpr std::int32_t kBadAddress = 10014;
constexpr std::int32_t kNotSocket = 10038;
constexpr std::int32_t kNotConnected = 10057;
// One read notification hands on at most this much, so that a peer that never stops sending cannot hold the main
// thread; what is left comes with the next notification.
constexpr std::size_t kMaxDelivery = 1 << 20;

struct ErrorEntry {
    std::int32_t code;
    const char* text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
};

// Linux errno values and the numbers of the report table.
constexpr std::pair<int, std::int32_t> kErrnoCodes[] = {
    {EINTR, 10004},           {EBADF, 10009},         {EACCES, 10013},       {EFAULT, 10014},
    {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},       {EAGAIN, 10035},
    {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {EPIPE, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},        {EISCONN, 10056},      {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},       {EUSERS, 10068},        {EDQUOT, 10069},       {ESTALE, 10070},
    {EREMOTE, 10071},
};

void DeleteNotifier(QSocketNotifier* n) {
    if (n == nullptr) return;
    // It may be the very notifier whose signal is being handled: it is silenced now and freed by the event loop.
    n->setEnabled(false);
    n->deleteLater();
}

}  // namespace

std::int32_t SocketErrorCode(int errnoValue) {
    for (const auto& [e, code] : kErrnoCodes) {
        if (e == errnoValue) return code;
    }
    return errnoValue;
}

std::string SocketErrorText(std::int32_t code) {
    for (const auto& entry : kErrorTexts) {
        if (entry.code == code) return entry.text;
    }
    return "Not a WinSock error ?";
}

// ---- TCustomSimpleSocket

TCustomSimpleSocket::TCustomSimpleSocket(QObject* owner)
    : QObject(owner),
      Host(std::string(), [this](const std::string& v) { SetHost(v); }),
      Port(0, [this](const std::uint16_t& v) { SetPort(v); }),
      m_readNotifier(nullptr, DeleteNotifier),
      m_writeNotifier(nullptr, DeleteNotifier) {}

TCustomSimpleSocket::~TCustomSimpleSocket() {
    const int fd = DetachSocket();
    if (fd >= 0) ::close(fd);
}

void TCustomSimpleSocket::SocketError(int socket, std::int32_t errorCode) {
    const std::string text = SocketErrorText(errorCode);
    if (OnError) {
        OnError(this, socket, errorCode, text);
    } else {
        throw std::runtime_error(text);
    }
}

void TCustomSimpleSocket::AttachSocket(int fd) {
    m_socket = fd;
    const std::uint64_t generation = ++m_generation;
    m_readNotifier.reset(new QSocketNotifier(fd, QSocketNotifier::Read, this));
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this, generation] { Readable(generation); });
    m_writeNotifier.reset(new QSocketNotifier(fd, QSocketNotifier::Write, this));
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this, generation] { Writable(generation); });
}

void TCustomSimpleSocket::WatchReading() {
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    if (m_readNotifier) m_readNotifier->setEnabled(true);
}

int TCustomSimpleSocket::DetachSocket() {
    ++m_generation;
    m_readNotifier.reset();
    m_writeNotifier.reset();
    return std::exchange(m_socket, -1);
}

void TCustomSimpleSocket::Writable(std::uint64_t generation) {
    if (generation != m_generation) return;
    m_writeNotifier->setEnabled(false);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    WndProc(Notification::Connect, error != 0 ? SocketErrorCode(error) : 0);
}

void TCustomSimpleSocket::Readable(std::uint64_t generation) {
    if (generation != m_generation) return;
    int count = 0;
    if (::ioctl(m_socket, FIONREAD, &count) == 0 && count > 0) {
        WndProc(Notification::Read, 0);
        return;
    }
    // Readable with nothing to read: the peer has closed, normally or with an error.
    std::uint8_t byte = 0;
    const ssize_t n = drv::RetryEintr([&] { return ::recv(m_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    if (n == 0) {
        WndProc(Notification::Close, 0);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        WndProc(Notification::Close, SocketErrorCode(errno));
    } else if (n > 0) {
        WndProc(Notification::Read, 0);
    }
}

void TCustomSimpleSocket::WndProc(Notification what, std::int32_t error) {
    drv::RunHandler("SimpleTCPClient notification", [&] {
        const int socket = m_socket;
        // Any error of a connect is a failed connect, also one the report table does not know.
        if (error > 10000 || (what == Notification::Connect && error != 0)) {
            SocketError(socket, error);
            return;
        }
        switch (what) {
            case Notification::Read:
                ReadAll();
                break;
            case Notification::Connect:
                DoConnect();
                break;
            case Notification::Close:
                DoClose(socket);
                break;
        }
    });
}

void TCustomSimpleSocket::ReadAll() {
    const std::uint64_t generation = m_generation;
    const int fd = m_socket;
    std::vector<std::uint8_t> stream;
    bool handled = false;
    int lastHandledCount = -1;
    while (stream.size() < kMaxDelivery) {
        int count = 0;
        if (::ioctl(fd, FIONREAD, &count) != 0) {
            SocketError(fd, SocketErrorCode(errno));
            return;
        }
        if (count <= 0) break;
        handled = false;
        DoDataAvailable(count, handled);
        if (generation != m_generation) return;  // the handler closed the link
        if (handled) {
            // A handler that leaves the bytes where they are ends this notification instead of looping.
            if (count == lastHandledCount) break;
            lastHandledCount = count;
            continue;
        }
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
        const ssize_t n = drv::RetryEintr([&] { return ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            SocketError(fd, SocketErrorCode(errno));
            return;
        }
        if (n == 0) break;
        stream.insert(stream.end(), buffer.begin(), buffer.begin() + n);
    }
    if (!handled && !stream.empty()) DoRead(stream);
}

// ---- TSimpleTCPClient

TSimpleTCPClient::TSimpleTCPClient(QObject* owner)
    : TCustomSimpleSocket(owner), m_lookupNotifier(nullptr, DeleteNotifier) {}

TSimpleTCPClient::~TSimpleTCPClient() {
    SetDestroying();
    SetConnected(false);
}

void TSimpleTCPClient::SetConnected(bool on) {
    if (on) {
        StartConnecting();
    } else {
        CloseLink();
    }
}

void TSimpleTCPClient::StartConnecting() {
    if (m_wanted) return;
    m_wanted = true;
    try {
        m_lookup = std::make_unique<drv::NameLookup>(Host.Value(), Port.Value(), AF_INET, m_resolver);
    } catch (const std::system_error& e) {
        SocketError(-1, SocketErrorCode(e.code().value()));
        return;
    }
    if (m_lookup->Done()) {
        LookupAnswered();
        return;
    }
    // A name: the event loop goes on until the helper thread has the answer.
    m_lookupNotifier.reset(new QSocketNotifier(m_lookup->fd(), QSocketNotifier::Read, this));
    drv::NameLookup* lookup = m_lookup.get();
    connect(m_lookupNotifier.get(), &QSocketNotifier::activated, this, [this, lookup] {
        if (m_lookup.get() != lookup) return;
        drv::RunHandler("SimpleTCPClient name lookup", [this] { LookupAnswered(); });
    });
}

void TSimpleTCPClient::LookupAnswered() {
    m_lookupNotifier.reset();
    const auto lookup = std::move(m_lookup);
    const auto addresses = lookup->Addresses();
    if (lookup->Error() != 0 || addresses.empty()) {
        SocketError(-1, kBadAddress);
        return;
    }
    const drv::ResolvedAddress& address = addresses.front();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SocketError(-1, SocketErrorCode(errno));
        return;
    }
    AttachSocket(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0 &&
        errno != EINPROGRESS) {
        SocketError(fd, SocketErrorCode(errno));
    }
    // The connected flag stays false until the connection's completion is announced.
}

void TSimpleTCPClient::CloseLink() {
    if (!m_wanted) return;
    m_wanted = false;
    if (m_lookup) {
        // Abandoned while the name was being looked up: no socket yet.
        m_lookupNotifier.reset();
        m_lookup.reset();
        m_connected = false;
        if (OnDisconnected && !Destroying()) OnDisconnected(this);
        return;
    }
    if (m_socket < 0) {
        // The attempt never got a socket: the close finds none.
        SocketError(-1, kNotSocket);
        return;
    }
    const int fd = DetachSocket();
    ::shutdown(fd, SHUT_RDWR);
    const linger reset{1, 0};  // the close resets the connection at once and drops what is not sent yet
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    m_connected = false;
    if (OnDisconnected && !Destroying()) OnDisconnected(this);
}

void TSimpleTCPClient::SocketError(int socket, std::int32_t errorCode) {
    CloseLink();
    TCustomSimpleSocket::SocketError(socket, errorCode);
}

template <typename T>
void TSimpleTCPClient::ChangeSetting(TSocketSetting<T>& setting, const T& value, const char* refusal) {
    if (setting.Value() == value) return;
    if (!m_connected) {
        setting.Store(value);
        return;
    }
    if (!AllowChangeHostAndPortOnConnection) throw std::runtime_error(refusal);
    SetConnected(false);
    setting.Store(value);
    SetConnected(true);
}

void TSimpleTCPClient::SetHost(const std::string& value) {
    ChangeSetting(Host, value, "Can not change Host while connected");
}

void TSimpleTCPClient::SetPort(const std::uint16_t& value) {
    ChangeSetting(Port, value, "Can not change Port while connected");
}

void TSimpleTCPClient::DoConnect() {
    m_connected = true;
    WatchReading();
    if (OnConnected) OnConnected(this);
}

void TSimpleTCPClient::DoClose(int /*socket*/) {
    CloseLink();
    if (Destroying()) return;
    if (OnDisconnected) OnDisconnected(this);
    if (AutoTryReconnect) SetConnected(true);
}

void TSimpleTCPClient::DoDataAvailable(std::int32_t dataSize, bool& handled) {
    handled = static_cast<bool>(OnDataAvailable);
    if (handled) OnDataAvailable(this, dataSize);
}

void TSimpleTCPClient::DoRead(const std::vector<std::uint8_t>& stream) {
    if (OnRead) OnRead(this, stream);
}

std::int32_t TSimpleTCPClient::SendStream(const std::vector<std::uint8_t>& stream) {
    const int fd = m_socket;
    if (fd < 0) return 0;
    if (!m_connected) {
        // The connection is not established yet: bytes sent now could overtake the records of its start.
        SocketError(fd, kNotConnected);
        return -1;
    }
    const ssize_t n =
        drv::RetryEintr([&] { return ::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (n < 0) {
        SocketError(fd, SocketErrorCode(errno));
        return -1;
    }
    if (static_cast<std::size_t>(n) < stream.size()) {
        // Only part went out: the peer would cut every later record out of step. Close so the next link starts clean.
        SocketError(fd, kWouldBlock);
        return -1;
    }
    return static_cast<std::int32_t>(n);
}
