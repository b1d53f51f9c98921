// Z8 link glue of the main window.
#include "core/ma.h"

void TForm1::CreateZ8Link() {}

bool TForm1::Z8LinkConnected() const { return false; }

bool TForm1::QueueZ8Packet(std::uint32_t /*code*/, const std::vector<std::uint8_t>& /*payload*/) { return false; }
