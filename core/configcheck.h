#pragma once

#include <string>
#include <vector>

#include "core/config.h"

namespace drv {

// What the driver says about drvorvel.ini at startup: one line (without "drvorvel: " and the newline) for every
// value that does not parse or sits where it has no effect, naming the key, the text and the value in effect
// instead; one line when there is no file at all. Reads the file once; never fails.
std::vector<std::string> ConfigurationWarnings(const std::string& iniPath);

// The same for ignore.ini at path: entries outside [object], object numbers not written in decimal, values that
// are not numbers. Nothing when the file is missing (it is optional).
std::vector<std::string> IgnoreListWarnings(const std::string& path);

// The configuration in effect in one line: station port and device, Z8 server, Z7 host, spool directory,
// SendZ7/SendZ8 and the metrics endpoint.
std::string ConfigurationLine(const std::string& workingDirectory);

}  // namespace drv
