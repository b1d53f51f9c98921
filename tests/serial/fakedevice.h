#pragma once

#include <QCoreApplication>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "serial/serialdevice.h"

namespace drvtest {

// A serial device in memory: bytes the test queues wait in rx until read. Records what the component asks of it.
class FakeSerialDevice : public drv::SerialDevice {
public:
    struct Log {
        std::vector<std::string> opened;
        int closes = 0;
        std::vector<drv::Dcb> states;
        int purges = 0;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> queues;
        int timeouts = 0;
        std::vector<bool> dtr;
        std::vector<std::size_t> readSizes;
    };

    explicit FakeSerialDevice(std::shared_ptr<Log> log) : m_log(std::move(log)) {}

    bool Open(const std::string& portName) override {
        m_log->opened.push_back(portName);
        if (!openResult) return false;
        m_isOpen = true;
        return true;
    }
    void Close() override {
        ++m_log->closes;
        m_isOpen = false;
    }
    bool SetCommState(const drv::Dcb& dcb) override {
        m_log->states.push_back(dcb);
        return commStateResult;
    }
    bool PurgeComm(bool input, bool) override {
        ++m_log->purges;
        if (purgeResult && input) rx.clear();
        return purgeResult;
    }
    bool SetupComm(std::uint32_t in, std::uint32_t out) override {
        m_log->queues.emplace_back(in, out);
        return true;
    }
    bool SetCommTimeouts(std::uint32_t, std::uint32_t, std::uint32_t) override {
        ++m_log->timeouts;
        return true;
    }
    std::optional<std::uint32_t> BytesWaiting() override { return static_cast<std::uint32_t>(rx.size()); }
    std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) override {
        m_log->readSizes.push_back(size);
        if (failReads) return std::nullopt;
        std::size_t n = 0;
        while (n < size && !rx.empty()) {
            buffer[n++] = rx.front();
            rx.pop_front();
        }
        return n;
    }
    bool SetDtr(bool on) override {
        m_log->dtr.push_back(on);
        return false;  // as on a pseudo-terminal
    }
    bool Vanished() override { return vanished; }
    int LastError() const override { return 0; }

    void Queue(const std::vector<std::uint8_t>& bytes) { rx.insert(rx.end(), bytes.begin(), bytes.end()); }

    bool openResult = true;
    bool commStateResult = true;
    bool purgeResult = true;
    bool failReads = false;
    bool vanished = false;
    std::deque<std::uint8_t> rx;

private:
    std::shared_ptr<Log> m_log;
    bool m_isOpen = false;
};

// The event loop the component's timer needs; made once per test program.
inline void EnsureCoreApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

}  // namespace drvtest
