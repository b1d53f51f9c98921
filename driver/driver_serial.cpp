// Serial glue of the driver: the station port component, its settings and its wiring.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "core/config.h"
#include "driver/driver.h"
#include "platform/faults.h"
#include "serial/CPDrv.h"
#include "serial/linuxserial.h"
#include "serial/portnames.h"

namespace drv {

void Driver::CreateSerialComponent() {
    // [ports] is read from drvorvel.ini in the working directory at every open, so a remapped COM name takes
    // effect at the next start of the port.
    auto device = std::make_unique<drv::LinuxSerialDevice>([this] { return WorkingPath(drv::kConfigFileName); });
    CommPortDriver1 = new TCommPortDriver(this, std::move(device));
    CommPortDriver1->setObjectName(QStringLiteral("CommPortDriver1"));
    CommPortDriver1->SetClock(m_options.clock);
    CommPortDriver1->SetPort(pnCustom);
    CommPortDriver1->SetPortName("\\\\.\\COM1");
    CommPortDriver1->SetBaudRate(brCustom);
    CommPortDriver1->SetHwFlow(hfRTSTOG);
    CommPortDriver1->SetPacketSize(256);
    CommPortDriver1->SetPacketTimeout(40);
    CommPortDriver1->SetPacketMode(pmPass);
    CommPortDriver1->SetPollingDelay(10);
    CommPortDriver1->SetOutputTimeout(40);
    CommPortDriver1->SetInputTimeout(40);
    CommPortDriver1->SetOnReceivePacket([this](QObject* Sender, const std::uint8_t* Packet, std::uint32_t DataSize) {
        drv::RunHandler("CommPortDriver1ReceivePacket",
                        [&] { CommPortDriver1ReceivePacket(Sender, Packet, DataSize); });
    });
    if (m_options.portReopenIntervalMs > 0) CommPortDriver1->SetReopenInterval(m_options.portReopenIntervalMs);
    CommPortDriver1->SetOnDeviceChange([this](QObject* Sender, bool present) {
        drv::RunHandler("CommPortDriver1DeviceChange", [&] { CommPortDriver1DeviceChange(Sender, present); });
    });
    CommPortDriver1->SetOnDeviceHeld([this](QObject* Sender, int pid) {
        drv::RunHandler("CommPortDriver1DeviceHeld", [&] { CommPortDriver1DeviceHeld(Sender, pid); });
    });
}

bool Driver::OpenStationPort(const std::string& portName) {
    try {
        CommPortDriver1->SetPortName(portName);
        return CommPortDriver1->OpenPort();
    } catch (const std::exception&) {
        return false;  // an error raised during the attempt counts as a failure
    }
}

void Driver::ReportStationPortFailure() {
    const std::string device = drv::DevicePathForPort(CommPortDriver1->PortName(), WorkingPath(drv::kConfigFileName));
    const int error = CommPortDriver1->Device().LastError();
    const int holder = CommPortDriver1->Device().HolderPid();
    const std::string held = holder != 0 ? " (held by process " + std::to_string(holder) + ")" : std::string();
    std::fprintf(stderr, "drvorvel: the station port %s (%s) does not open: %s%s; trying it again until it does\n",
                 m_state.settings.ComPort.c_str(), device.c_str(), error != 0 ? std::strerror(error) : "reason unknown",
                 held.c_str());
    std::fflush(stderr);
}

}  // namespace drv
