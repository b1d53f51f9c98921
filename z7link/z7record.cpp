#include "z7link/z7record.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace drv::z7 {

Record BuildRecord(std::uint8_t code, std::uint8_t param, std::int32_t value) {
    Record r{};
    r[0] = 0xFF;
    r[1] = 0xFF;
    r[kCodeOffset] = code;
    r[kParamOffset] = param;
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) r[kValueOffset + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return r;
}

Record BuildClockRecord(TDateTime dateTime) {
    Record r = BuildRecord(kSetClock);
    const auto bits = std::bit_cast<std::uint64_t>(dateTime);
    for (int i = 0; i < 8; ++i) r[kDateTimeOffset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return r;
}

bool HasSignature(const std::uint8_t* piece) { return piece[0] == 0xFF && piece[1] == 0xFF; }

std::int32_t ValueOf(const std::uint8_t* record) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(record[kValueOffset + i]) << (8 * i);
    return static_cast<std::int32_t>(v);
}

TDateTime DateTimeOf(const std::uint8_t* record) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(record[kDateTimeOffset + i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

std::optional<std::uint8_t> PortNumberOf(const std::string& portName) {
    if (portName.size() <= 7) return std::nullopt;
    std::size_t i = 7;
    bool negative = false;
    if (portName[i] == '-' || portName[i] == '+') negative = portName[i++] == '-';
    if (i == portName.size()) return std::nullopt;
    std::int64_t n = 0;
    for (; i < portName.size(); ++i) {
        const char c = portName[i];
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
        if (n > 0x80000000LL) return std::nullopt;  // beyond a 32-bit integer
    }
    if (negative) n = -n;
    if (n > 0x7FFFFFFFLL) return std::nullopt;
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) & 0xFF);
}

std::optional<DateTimeParts> ClockTarget(TDateTime dateTime) {
    const auto parts = DecodeDateTime(dateTime);
    if (!parts || parts->year < 1970 || parts->year > 2261) return std::nullopt;
    return parts;
}

std::vector<Record> CutRecords(std::vector<std::uint8_t>& pending, const std::uint8_t* data, std::size_t size) {
    if (size > 0) pending.insert(pending.end(), data, data + size);
    std::vector<Record> out;
    std::size_t at = 0;
    for (; pending.size() - at >= kRecordSize; at += kRecordSize) {
        Record& r = out.emplace_back();
        std::memcpy(r.data(), pending.data() + at, kRecordSize);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    return out;
}

std::string SpoolSuffix(std::int32_t n_abs) { return "_" + std::to_string(n_abs) + ".obz"; }

const char* RecordName(std::uint8_t code) {
    switch (code) {
        case kSetClock:
            return "clock";
        case kClose:
            return "close the driver";
        case kHello:
            return "hello";
        case kPortNumber:
            return "'2' port number";
        case kStationLost:
            return "'H' station link lost";
        case kStationUp:
            return "'I' station link present";
        default:
            return "";
    }
}

std::string Describe(const std::uint8_t* piece) {
    char buf[160];
    if (!HasSignature(piece)) {
        std::snprintf(buf, sizeof buf, "piece without signature, starting %02X %02X %02X %02X", piece[0], piece[1],
                      piece[2], piece[3]);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "code %u param %u value %d", CodeOf(piece), ParamOf(piece), ValueOf(piece));
    std::string line = buf;
    if (const char* name = RecordName(CodeOf(piece)); *name != 0) line += std::string(" (") + name + ")";
    if (CodeOf(piece) == kSetClock) {
        const TDateTime t = DateTimeOf(piece);
        std::snprintf(buf, sizeof buf, " datetime %.9g", t);
        line += buf;
        if (DecodeDateTime(t)) line += " (" + FormatDateTime(t) + ")";
    }
    return line;
}

}  // namespace drv::z7
