// The Z8 reply reader: bytes from the server, cut into pieces of any size, as the link reads them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "z8link/z8codec.h"

using drv::z8::ReplyAssembler;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte sets the largest piece a read returns; the rest is the stream.
    const std::size_t piece = data[0] % 64 + 1;
    ReplyAssembler reader(4096, 1000);
    std::size_t at = 1;
    while (at < size) {
        const auto [into, want] = reader.Space();
        if (want == 0) std::abort();  // a reader that wants nothing would stall the link
        const std::size_t n = std::min({want, piece, size - at});
        std::memcpy(into, data + at, n);
        at += n;
        switch (reader.Took(n)) {
            case ReplyAssembler::Status::Whole: {
                const auto& body = reader.Body();
                if (body.empty() || body.size() > 4096) std::abort();
                if (drv::z8::IsAcceptedReply(body.data(), body.size())) {
                    (void)drv::z8::ReplyCode(body.data());
                    if (!drv::z8::DecodePacket(body.data(), body.size())) std::abort();
                }
                reader.Reset();
                break;
            }
            case ReplyAssembler::Status::Oversized:
                reader.Reset();  // the link gives the connection up here
                break;
            default:
                break;
        }
    }
    return 0;
}
