#include "platform/faults.h"

#include <atomic>
#include <cstdio>

namespace drv {
namespace {
std::atomic<unsigned long> g_faults{0};
}

void ReportFault(const char* where, const std::string& what) {
    g_faults.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "drvorvel: fault in %s: %s\n", where, what.c_str());
    std::fflush(stderr);
}

unsigned long FaultCount() { return g_faults.load(std::memory_order_relaxed); }

}  // namespace drv
