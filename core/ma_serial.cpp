// Serial glue of the main window: the station port component and its wiring.
#include "core/ma.h"

void TForm1::CreateSerialComponent() {}

bool TForm1::OpenStationPort(const std::string& /*portName*/) { return false; }

std::int32_t TForm1::SerialPacketSize() const { return 256; }
