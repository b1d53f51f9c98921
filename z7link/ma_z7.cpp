// Z7 link glue of the main window: status records, the port record and the client's handlers.
#include "core/ma.h"
#include "z7link/SimpleTCP.h"

void TForm1::SendZ7Record(std::uint8_t /*code*/) {}

void TForm1::SendZ7PortRecord() {}
