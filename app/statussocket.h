#pragma once

#include <QByteArray>
#include <QObject>
#include <functional>
#include <string>

#include "platform/uniquefd.h"

class QSocketNotifier;

// The status of this directory's driver, published where only it can publish: the unix socket "drvorvel.status"
// in its working directory, made while the driver holds the directory's lock. Whoever connects gets the status
// (the JSON of /status) and the end of the stream; nothing is read from the peer. Main thread; never blocks.
class StatusSocket : public QObject {
public:
    static constexpr const char* kFileName = "drvorvel.status";

    StatusSocket(std::string directory, std::function<QByteArray()> answer, QObject* parent = nullptr);
    // Removes the socket's name.
    ~StatusSocket() override;

    // Makes the socket, replacing one a driver of this directory left behind (only a socket is replaced). False
    // with Error() telling why.
    bool Listen();
    const std::string& Error() const { return m_error; }

private:
    void Answer();

    std::string m_directory;
    std::string m_path;
    std::function<QByteArray()> m_answer;
    drv::UniqueFd m_fd;
    QSocketNotifier* m_notifier = nullptr;
    std::string m_error;
};

// The address of the status socket in directory, also when the path is too long for a socket address (then
// through the directory's descriptor, kept open in dirFd). False with errno set when the directory cannot be
// opened.
struct sockaddr_un;
bool StatusSocketAddress(const std::string& directory, sockaddr_un* address, drv::UniqueFd* dirFd);
