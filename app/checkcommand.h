#pragma once

#include <string>

// `drvorvel --check`: reads drvorvel.ini and ignore.ini of the working directory `directory` and prints on
// standard output every line the driver's startup prints about them, then checks what the driver will need: the
// station port's device, the spool directory, the servers' names and the metrics port. Changes nothing, opens no
// device. Returns 0 when all is well, 1 when something is not. Needs no display; may block on name lookups.
int RunCheckCommand(const std::string& directory);
