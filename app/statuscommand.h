#pragma once

#include <string>

// `drvorvel --status`: asks the driver of the working directory `directory` (through the metrics endpoint that its
// drvorvel.ini names) for its status and prints a short summary on standard output. Returns the exit status:
// 0 the driver answers and its station and Z8 links are up, 1 it answers with one of them down, 3 no driver
// answers (or none can be asked: the endpoint is off). Blocks for at most a few seconds; needs no display.
int RunStatusCommand(const std::string& directory);
