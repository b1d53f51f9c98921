#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/namelookup.h"

class QSocketNotifier;

// The error number of the client's reports for an errno value: 10000 plus the classic BSD number for the
// socket errors (ECONNREFUSED gives 10061, ECONNRESET 10054, EAGAIN 10035, ...); an errno without such a
// number is passed on as it is.
std::int32_t SocketErrorCode(int errnoValue);
// The text of a report's error number; "Not a WinSock error ?" for a number the table does not know.
std::string SocketErrorText(std::int32_t code);

// A setting of the socket component that reads like a plain value and writes through the component's setter,
// so that a change can close and reopen the link or be refused. Not copyable: it belongs to its component.
template <typename T>
class TSocketSetting {
public:
    TSocketSetting(T initial, std::function<void(const T&)> setter)
        : m_value(std::move(initial)), m_setter(std::move(setter)) {}
    TSocketSetting(const TSocketSetting&) = delete;
    TSocketSetting& operator=(const TSocketSetting&) = delete;

    TSocketSetting& operator=(const T& value) {
        m_setter(value);
        return *this;
    }
    operator const T&() const { return m_value; }
    const T& Value() const { return m_value; }
    // The component's setter stores the value with this.
    void Store(const T& value) { m_value = value; }

private:
    T m_value;
    std::function<void(const T&)> m_setter;
};

// The base of the asynchronous socket component: the server's host and port, the socket, the notifications of
// the main thread's event loop, error reporting and the gathering of received bytes.
//
// Main thread only. Nothing here waits for the network: the socket is non-blocking, a host name is looked up on
// a helper thread, and every notification comes from the event loop. A notification runs inside the general
// fault handler, so a fault of an event handler ends only that notification. A notification of a socket that has
// been closed meanwhile acts on nothing, also when a new socket has taken its descriptor number.
class TCustomSimpleSocket : public QObject {
    Q_OBJECT

public:
    using TSimpleTCPErrorEvent =
        std::function<void(QObject* Sender, int Socket, std::int32_t ErrorCode, const std::string& ErrorMsg)>;

    ~TCustomSimpleSocket() override;

    bool AllowChangeHostAndPortOnConnection = false;
    TSocketSetting<std::string> Host;
    TSocketSetting<std::uint16_t> Port;
    // Called for every error; without it the error's text is thrown (std::runtime_error) out of the operation or
    // notification that met it.
    TSimpleTCPErrorEvent OnError;

    // The socket's descriptor; -1 when there is none.
    int SocketHandle() const { return m_socket; }

protected:
    explicit TCustomSimpleSocket(QObject* owner);

    enum class Notification { Read, Connect, Close };

    // Reports an error through OnError (or throws its text).
    virtual void SocketError(int socket, std::int32_t errorCode);
    virtual void SetHost(const std::string& value) = 0;
    virtual void SetPort(const std::uint16_t& value) = 0;
    virtual void DoConnect() = 0;
    virtual void DoClose(int socket) = 0;
    virtual void DoDataAvailable(std::int32_t dataSize, bool& handled) = 0;
    virtual void DoRead(const std::vector<std::uint8_t>& stream) = 0;

    // Takes a new non-blocking socket and watches it: for the completion of its connection first.
    void AttachSocket(int fd);
    // Watches the attached socket for received bytes and its close from now on.
    void WatchReading();
    // Stops every notification of the attached socket and gives its descriptor up (-1 when none); the caller
    // closes it.
    int DetachSocket();
    bool Destroying() const { return m_destroying; }
    void SetDestroying() { m_destroying = true; }

    int m_socket = -1;

private:
    // One notification of the socket, as the event loop announced it; error 0 for none.
    void WndProc(Notification what, std::int32_t error);
    void Writable(std::uint64_t generation);
    void Readable(std::uint64_t generation);
    // Hands every byte readable now to DoRead in one call.
    void ReadAll();

    std::uint64_t m_generation = 0;  // counts the sockets: a notification of an older one is stale
    std::unique_ptr<QSocketNotifier, void (*)(QSocketNotifier*)> m_readNotifier;
    std::unique_ptr<QSocketNotifier, void (*)(QSocketNotifier*)> m_writeNotifier;
    bool m_destroying = false;
};

// The non-blocking TCP client of the Z7 link.
//
// States: idle (no socket), connecting (a name being looked up, or a connection attempt under way), connected.
// Connected() is true only while a connection is established. Every failure closes the link first and is then
// reported through OnError; a normal close by the peer gives OnDisconnected twice. Main thread only; event
// handlers may call back into the client (send, connect, disconnect) from inside an event.
class TSimpleTCPClient : public TCustomSimpleSocket {
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    using TSimpleTCPClientDataAvailEvent = std::function<void(QObject* Sender, std::int32_t DataSize)>;
    using TSimpleTCPClientIOEvent = std::function<void(QObject* Sender, const std::vector<std::uint8_t>& Stream)>;

    explicit TSimpleTCPClient(QObject* owner = nullptr);
    // Closes an open link without any event.
    ~TSimpleTCPClient() override;

    // Start a new attempt at once after the peer has closed the connection normally.
    bool AutoTryReconnect = false;
    TNotifyEvent OnConnected;
    TNotifyEvent OnDisconnected;
    // Bytes are ready (the count): the handler reads them itself, and OnRead is not called.
    TSimpleTCPClientDataAvailEvent OnDataAvailable;
    // Received bytes: everything readable when the notification was handled, in one stream valid during the call.
    TSimpleTCPClientIOEvent OnRead;

    bool Connected() const { return m_connected; }
    // true: starts a connection attempt unless one is wanted already; false: closes the link (OnDisconnected)
    // unless it is closed already. Never waits for the network.
    void SetConnected(bool on);
    // Whether a connection is wanted: from the start of an attempt until the link is closed.
    bool ConnectionWanted() const { return m_wanted; }

    // Sends the whole stream with one send call and gives the count taken; 0 with no socket. A send that fails,
    // that the platform takes only in part (its buffer is full), or that is tried before the connection is
    // established closes the link, is reported through OnError, and gives -1: no record is ever sent in part.
    std::int32_t SendStream(const std::vector<std::uint8_t>& stream);

    // How host names are looked up (empty: the C library's resolver, on a helper thread). For tests.
    void SetResolver(drv::NameLookup::Resolver resolver) { m_resolver = std::move(resolver); }

protected:
    void SocketError(int socket, std::int32_t errorCode) override;
    void SetHost(const std::string& value) override;
    void SetPort(const std::uint16_t& value) override;
    void DoConnect() override;
    void DoClose(int socket) override;
    void DoDataAvailable(std::int32_t dataSize, bool& handled) override;
    void DoRead(const std::vector<std::uint8_t>& stream) override;

private:
    void StartConnecting();
    void LookupAnswered();
    void CloseLink();
    template <typename T>
    void ChangeSetting(TSocketSetting<T>& setting, const T& value, const char* refusal);

    bool m_wanted = false;
    bool m_connected = false;
    drv::NameLookup::Resolver m_resolver;
    std::unique_ptr<drv::NameLookup> m_lookup;
    std::unique_ptr<QSocketNotifier, void (*)(QSocketNotifier*)> m_lookupNotifier;
};
