#pragma once

#include <functional>
#include <string>

#include "platform/uniquefd.h"

namespace drv {

// A non-blocking TCP socket listening on a dotted IPv4 address (port 0: a free port the kernel picks), with
// SO_REUSEADDR and whatever setOptions sets on it before it listens (accepted connections inherit those).
// boundPort receives the port it listens on. Throws std::runtime_error with the reason when it cannot listen.
UniqueFd ListenTcp(const std::string& address, int port, int& boundPort,
                   const std::function<void(int fd)>& setOptions = {});

}  // namespace drv
