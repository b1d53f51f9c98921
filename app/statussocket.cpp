#include "app/statussocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

bool StatusSocketAddress(const std::string& directory, sockaddr_un* address, drv::UniqueFd* dirFd) {
    *address = {};
    address->sun_family = AF_UNIX;
    std::string path = directory + "/" + StatusSocket::kFileName;
    if (path.size() >= sizeof address->sun_path) {
        dirFd->reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!*dirFd) return false;
        path = "/proc/self/fd/" + std::to_string(dirFd->get()) + "/" + StatusSocket::kFileName;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

StatusSocket::StatusSocket(std::string directory, std::function<QByteArray()> answer, QObject* parent)
    : QObject(parent),
      m_directory(std::move(directory)),
      m_path(m_directory + "/" + kFileName),
      m_answer(std::move(answer)) {}

StatusSocket::~StatusSocket() {
    delete m_notifier;
    if (m_fd) ::unlink(m_path.c_str());
}

bool StatusSocket::Listen() {
    struct stat st {};
    if (::lstat(m_path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            m_error = m_path + " exists and is no socket";
            return false;
        }
        ::unlink(m_path.c_str());  // left by a driver of this directory that ended without removing it
    }
    sockaddr_un address{};
    drv::UniqueFd dirFd;
    if (!StatusSocketAddress(m_directory, &address, &dirFd)) {
        m_error = std::strerror(errno);
        return false;
    }
    drv::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        m_error = std::strerror(errno);
        return false;
    }
    // Who may ask is decided by the directory's own permissions.
    ::chmod(m_path.c_str(), 0666);
    if (::listen(fd.get(), 16) != 0) {
        m_error = std::strerror(errno);
        ::unlink(m_path.c_str());
        return false;
    }
    m_fd = std::move(fd);
    m_notifier = new QSocketNotifier(m_fd.get(), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { Answer(); });
    return true;
}

void StatusSocket::Answer() {
    for (int i = 0; i < 16; ++i) {
        drv::UniqueFd peer(
            drv::RetryEintr([&] { return ::accept4(m_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }));
        if (!peer) return;
        // A few kilobytes: the socket's buffer takes them whole, so nothing waits for the peer to read.
        const QByteArray status = m_answer();
        [[maybe_unused]] const ssize_t n =
            ::send(peer.get(), status.constData(), static_cast<std::size_t>(status.size()), MSG_NOSIGNAL);
    }
}
