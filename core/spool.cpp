#include "core/spool.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace drv {
namespace {

constexpr int kMaxNameTries = 100000;
constexpr std::size_t kOb8RecordSize = 24;
constexpr std::size_t kObzRecordSize = 555;
constexpr std::uint32_t kSpoolEventCode = kOb8StationEventCode;  // the code the driver writes into every .ob8 file

// Renames temp to prefix + stem + suffix, raising the stem's value past names that are taken, and syncs the
// directory. The temporary file is removed when no name could be had.
SpoolWriteResult PlaceUnderFreeName(SpoolFs& fs, const std::string& temp, const std::string& prefix,
                                    std::optional<std::uint32_t> value, const std::string& suffix) {
    SpoolWriteResult result;
    std::uint32_t v = value.value_or(0);
    for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
        // Without a value the bare name comes first, then the stems from 0 up: the record is kept all the same.
        const bool bare = attempt == 0 && !value;
        const std::string name = prefix + (bare ? std::string() : SpoolStem(v)) + suffix;
        const int err = fs.RenameNoReplace(temp, name);
        if (err == 0) {
            result.ok = true;
            result.path = name;
            break;
        }
        if (err != EEXIST) {
            result.error = err;
            break;
        }
        if (!bare) ++v;
    }
    if (!result.ok) {
        if (result.error == 0) result.error = EEXIST;
        fs.Remove(temp);
        return result;
    }
    fs.SyncDirectory(DirectoryOf(result.path));  // the rename is done; a failed directory sync cannot undo it
    return result;
}

bool IsHexStem(std::string_view s) {
    return !s.empty() && s.size() <= 8 &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool IsDecimal(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::uint32_t> SpoolTimeValue(TDateTime when) {
    const auto p = DecodeDateTime(when);
    if (!p) return std::nullopt;
    const std::uint32_t seconds = static_cast<std::uint32_t>(p->day) * 86400u +
                                  static_cast<std::uint32_t>(p->hour) * 3600u +
                                  static_cast<std::uint32_t>(p->minute) * 60u + static_cast<std::uint32_t>(p->second);
    return seconds * 1000u + static_cast<std::uint32_t>(p->msec);
}

std::string SpoolStem(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

std::optional<std::string> SpoolTimeName(TDateTime when) {
    const auto v = SpoolTimeValue(when);
    if (!v) return std::nullopt;
    return SpoolStem(*v);
}

std::vector<std::uint8_t> BuildOb8(std::uint32_t code, const std::uint8_t* payload, std::size_t size) {
    std::vector<std::uint8_t> bytes(4 + size);
    bytes[0] = static_cast<std::uint8_t>(code);
    bytes[1] = static_cast<std::uint8_t>(code >> 8);
    bytes[2] = static_cast<std::uint8_t>(code >> 16);
    bytes[3] = static_cast<std::uint8_t>(code >> 24);
    for (std::size_t i = 0; i < size; ++i) bytes[4 + i] = payload[i];
    return bytes;
}

SpoolWriteResult WriteSpoolFile(const std::string& prefix, std::optional<std::uint32_t> value,
                                const std::string& suffix, const std::vector<std::uint8_t>& bytes, SpoolFs& fs) {
    SpoolWriteResult result;
    const std::string temp =
        prefix + (value ? SpoolStem(*value) : std::string()) + suffix + "." + std::to_string(::getpid()) + ".part";
    result.error = fs.WriteDurably(temp, bytes);
    if (result.error != 0) return result;
    return PlaceUnderFreeName(fs, temp, prefix, value, suffix);
}

std::optional<SpoolPacket> ParseOb8(const std::uint8_t* bytes, std::size_t size) {
    if (size < 4) return std::nullopt;
    SpoolPacket packet;
    packet.code = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                  static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    packet.payload.assign(bytes + 4, bytes + size);
    return packet;
}

Ob8Content CheckOb8(const std::vector<std::uint8_t>& bytes, std::uint64_t size) {
    Ob8Content c;
    const std::string sizeText = " (" + std::to_string(size) + " bytes)";
    if (size > kMaxOb8Size) {
        c.fault = "is too large for a packet" + sizeText;
    } else if (size < 4 || bytes.size() < 4) {
        c.fault = "is shorter than 4 bytes" + sizeText;
    } else if (bytes.size() != size) {
        c.fault = "changed while it was read" + sizeText;
    } else {
        c.packet = ParseOb8(bytes.data(), bytes.size());
        if (c.packet->code == kOb8StationEventCode && c.packet->payload.size() != kOb8StationEventPayload) {
            c.fault = "holds a station event of " + std::to_string(c.packet->payload.size()) + " bytes instead of 20" +
                      sizeText;
            c.packet.reset();
        }
    }
    return c;
}

Ob8File ReadOb8File(const std::string& path, SpoolFs& fs) {
    Ob8File f;
    f.read = fs.ReadFile(path, kMaxOb8Size, true);
    if (f.read.status == SpoolFileRead::Status::Ok) f.content = CheckOb8(f.read.bytes, f.read.size);
    return f;
}

bool IsWholeSpoolRecord(const std::vector<std::uint8_t>& bytes, bool ob8) {
    if (!ob8) return bytes.size() == kObzRecordSize;
    if (bytes.size() != kOb8RecordSize) return false;
    const auto packet = ParseOb8(bytes.data(), bytes.size());
    return packet && packet->code == kSpoolEventCode;
}

std::optional<TemporarySpoolName> ParseTemporarySpoolName(std::string_view name, std::string_view base) {
    constexpr std::string_view kPart = ".part";
    if (name.size() < base.size() + kPart.size() || name.substr(0, base.size()) != base ||
        name.substr(name.size() - kPart.size()) != kPart) {
        return std::nullopt;
    }
    const std::string_view inner = name.substr(base.size(), name.size() - base.size() - kPart.size());
    const auto dot = inner.rfind('.');
    if (dot == std::string_view::npos || !IsDecimal(inner.substr(dot + 1)) || inner.size() - dot > 10) {
        return std::nullopt;
    }
    const std::string_view finalName = inner.substr(0, dot);
    if (finalName.size() < 4) return std::nullopt;
    TemporarySpoolName parsed;
    std::string_view extension = finalName.substr(finalName.size() - 4);
    if (extension != ".ob8" && extension != ".obz") return std::nullopt;
    std::string_view stem = finalName.substr(0, finalName.size() - 4);
    std::size_t suffixAt = stem.size();
    // Z7 files carry "_<n_abs>" between the stem and the extension.
    if (extension == ".obz" && stem.rfind('_') != std::string_view::npos) suffixAt = stem.rfind('_');
    parsed.stem = std::string(stem.substr(0, suffixAt));
    parsed.suffix = std::string(finalName.substr(suffixAt));
    parsed.pid = std::strtol(std::string(inner.substr(dot + 1)).c_str(), nullptr, 10);
    return parsed;
}

std::vector<LeftoverSpoolFile> FinishLeftoverSpoolFiles(const std::string& prefix,
                                                        const std::function<bool(long pid)>& writerAlive, SpoolFs& fs) {
    std::vector<LeftoverSpoolFile> done;
    const std::string dir = DirectoryOf(prefix + "x");
    const auto slash = prefix.rfind('/');
    const std::string dirPrefix = slash == std::string::npos ? std::string() : prefix.substr(0, slash + 1);
    const std::string base = prefix.substr(dirPrefix.size());
    std::vector<std::string> names;
    if (fs.List(dir, &names) != 0) return done;
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const auto parsed = ParseTemporarySpoolName(name, base);
        if (!parsed || (writerAlive && writerAlive(parsed->pid))) continue;
        LeftoverSpoolFile entry;
        entry.part = dirPrefix + name;
        const bool ob8 = parsed->suffix == ".ob8";  // else it ends in .obz
        const auto read = fs.ReadFile(entry.part, (ob8 ? kOb8RecordSize : kObzRecordSize) + 1);
        entry.error = read.error;
        if (read.status == SpoolFileRead::Status::NotRegular) {
            entry.fileType = read.fileType;
            entry.path = entry.part.substr(0, entry.part.size() - 5) + ".bad";
            entry.error = fs.RenameNoReplace(entry.part, entry.path);
        } else if (read.status == SpoolFileRead::Status::Ok) {
            entry.complete = IsWholeSpoolRecord(read.bytes, ob8);
            if (entry.complete) {
                std::uint32_t value = 0;
                if (IsHexStem(parsed->stem))
                    value = static_cast<std::uint32_t>(std::strtoul(parsed->stem.c_str(), nullptr, 16));
                // A writer killed before its flush may have left the bytes in the page cache only: flush them
                // before the file gets a name that forwarding may take (and delete after delivery).
                entry.error = fs.SyncFile(entry.part);
                if (entry.error == 0) {
                    const auto placed = PlaceUnderFreeName(fs, entry.part, prefix, value, parsed->suffix);
                    entry.error = placed.error;
                    entry.path = placed.path;
                }
            } else {
                entry.path = entry.part.substr(0, entry.part.size() - 5) + ".bad";
                entry.error = fs.RenameNoReplace(entry.part, entry.path);
            }
        }
        done.push_back(entry);
    }
    return done;
}

}  // namespace drv
