#pragma once

#include <string>

namespace drvtest {

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
};

// Sends one request line ("GET /metrics") to 127.0.0.1:port with Connection: close and reads the answer by its
// Content-Length. Blocks the calling thread up to timeoutMs for each piece of the answer; no answer gives status 0.
HttpAnswer Http(int port, const std::string& requestLine, int timeoutMs = 10000);

}  // namespace drvtest
