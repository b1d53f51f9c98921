// The spool file reader and the names found in the spool directory: files that a crash, another program or a
// full disk may have left.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/spool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = drv::ParseOb8(data, size);
    if (packet) {
        // Read back and written again, a file keeps every byte.
        const auto again = drv::BuildOb8(packet->code, packet->payload.data(), packet->payload.size());
        if (again != std::vector<std::uint8_t>(data, data + size)) std::abort();
    } else if (size >= 4) {
        std::abort();
    }
    const std::vector<std::uint8_t> bytes(data, data + size);
    (void)drv::IsWholeSpoolRecord(bytes, true);
    (void)drv::IsWholeSpoolRecord(bytes, false);
    // A file is either forwarded as its packet or set aside with a reason, and never as a torn station event.
    const auto content = drv::CheckOb8(bytes, size);
    if (content.packet.has_value() == !content.fault.empty()) std::abort();
    if (content.packet && content.packet->code == drv::kOb8StationEventCode && content.packet->payload.size() != 20)
        std::abort();
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    if (const auto parsed = drv::ParseTemporarySpoolName(name, "spool-")) {
        const std::string& suffix = parsed->suffix;
        if (suffix != ".ob8" && (suffix.size() < 4 || suffix.compare(suffix.size() - 4, 4, ".obz") != 0)) std::abort();
        if (name.find(parsed->stem + parsed->suffix) != 6) std::abort();  // right behind "spool-"
    }
    return 0;
}
