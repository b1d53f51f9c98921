// Decoder throughput: station bytes cut into frames and turned into events, in bytes a second.
// The line itself carries at most 960 bytes a second (9600 bit/s, 10 bits a byte).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/stationframe.h"

namespace {

std::vector<std::uint8_t> MakeStream(bool fourByte, std::size_t frames) {
    std::mt19937 rng(42);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::uint8_t b0 = static_cast<std::uint8_t>((rng() & 0xEF) | (fourByte ? 0x10 : 0x00));
        out.push_back(b0);
        for (int k = 1; k < (fourByte ? 4 : 5); ++k) out.push_back(static_cast<std::uint8_t>(rng()));
    }
    return out;
}

void DecodePackets(benchmark::State& state, bool fourByte) {
    const auto stream = MakeStream(fourByte, 100000);
    drv::FrameDecoder decoder;
    drv::StationEvent event{};
    std::size_t events = 0;
    for (auto _ : state) {
        for (std::size_t off = 0; off < stream.size(); off += 256) {
            const std::size_t n = std::min<std::size_t>(256, stream.size() - off);
            const drv::DeliveryLine line{off > 0 ? 0u : drv::DeliveryLine::kUnknown};
            decoder.Feed(stream.data() + off, n, line, [&](const std::uint8_t* f, int len) {
                drv::FillStationEvent(event, f, len, 4);
                ++events;
            });
        }
        benchmark::DoNotOptimize(event);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["events"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["line_bytes_per_s"] = 960;
}

void BM_Decode4ByteFrames(benchmark::State& state) { DecodePackets(state, true); }
void BM_Decode5ByteFrames(benchmark::State& state) { DecodePackets(state, false); }

}  // namespace

BENCHMARK(BM_Decode4ByteFrames);
BENCHMARK(BM_Decode5ByteFrames);
BENCHMARK_MAIN();
