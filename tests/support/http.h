#pragma once

#include <string>

#include "platform/uniquefd.h"

namespace drvtest {

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
};

// Sends one request line ("GET /metrics") to 127.0.0.1:port with Connection: close and reads the answer by its
// Content-Length. Blocks the calling thread up to timeoutMs for each piece of the answer; no answer gives status 0.
HttpAnswer Http(int port, const std::string& requestLine, int timeoutMs = 10000);

// A TCP connection to 127.0.0.1:port. nonBlocking: started without waiting for the server to take it (an invalid
// descriptor only when no socket could be made); otherwise connected, or an invalid descriptor on failure.
drv::UniqueFd ConnectLoopback(int port, bool nonBlocking = false);

}  // namespace drvtest
