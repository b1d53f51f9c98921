#pragma once

#include <string>

// `drvorvel --status`: asks the driver whose working directory is `directory` (through its status socket there,
// app/statussocket.h) for its status and prints a short summary on standard output. Returns the exit status:
// 0 the driver answers and its station and Z8 links are up, 1 it answers with one of them down (a closed port and
// a station not heard since the start count as down), 3 no driver runs there. Blocks for at most a few seconds;
// needs no display.
int RunStatusCommand(const std::string& directory);
