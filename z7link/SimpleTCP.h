#pragma once

#include <QObject>
#include <cstdint>
#include <string>
#include <vector>

// The Z7 message-server client as the rest of the driver sees it: its host, its fixed port and whether it is
// connected. The client's network behaviour arrives with the Z7 link; until then it never connects, so
// Connected() stays false.
class TSimpleTCPClient : public QObject {
    Q_OBJECT

public:
    explicit TSimpleTCPClient(QObject* parent = nullptr) : QObject(parent) {}

    std::string Host;
    std::uint16_t Port = 7788;

    bool Connected() const { return m_connected; }
    // Asks for a connection (true) or closes it (false).
    void SetConnected(bool on) { m_wanted = on; }
    bool ConnectionWanted() const { return m_wanted; }
    // Sends the whole stream with one send: the count the platform took, 0 with no socket, -1 on failure.
    std::int32_t SendStream(const std::vector<std::uint8_t>& /*stream*/) { return 0; }

private:
    bool m_connected = false;
    bool m_wanted = false;
};
