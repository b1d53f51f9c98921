#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/spoolfs.h"
#include "platform/datetime.h"

namespace drv {

// The number behind spool file names: ((day × 86400 + h × 3600 + m × 60 + s) × 1000 + ms) of a local time,
// in unsigned 32-bit arithmetic. nullopt when the value is no calendar time.
std::optional<std::uint32_t> SpoolTimeValue(TDateTime when);
// The value in upper-case hexadecimal without leading zeros.
std::string SpoolStem(std::uint32_t value);
// The name stem of a spool file made at `when`; nullopt when it cannot be computed.
std::optional<std::string> SpoolTimeName(TDateTime when);

// The bytes of an .ob8 file: the code (little-endian) and the payload.
std::vector<std::uint8_t> BuildOb8(std::uint32_t code, const std::uint8_t* payload, std::size_t size);

// An .ob8 file read back: the code (little-endian) and every byte after it as the payload, whatever its
// length; nullopt for a file shorter than 4 bytes.
struct SpoolPacket {
    std::uint32_t code = 0;
    std::vector<std::uint8_t> payload;
};
std::optional<SpoolPacket> ParseOb8(const std::uint8_t* bytes, std::size_t size);

// The code of a station event, whose payload is always the 20 bytes of the event.
inline constexpr std::uint32_t kOb8StationEventCode = 0x03000020;
inline constexpr std::size_t kOb8StationEventPayload = 20;
// A larger .ob8 file holds no packet of ours.
inline constexpr std::size_t kMaxOb8Size = 16u * 1024u * 1024u;

// An .ob8 file judged by its content: the packet to forward, or why the file cannot be forwarded.
struct Ob8Content {
    std::optional<SpoolPacket> packet;
    std::string fault;  // "is shorter than 4 bytes (3 bytes)", ...; empty when packet is set
};
// bytes: what was read from the start of the file; size: its whole size. A file shorter than 4 bytes, larger than
// kMaxOb8Size, or holding a station event whose payload is not exactly 20 bytes is faulty; any other code takes any
// payload.
Ob8Content CheckOb8(const std::vector<std::uint8_t>& bytes, std::uint64_t size);

// Reads and judges one .ob8 file: read.status tells whether it is a regular file that could be read (else the
// file type or the errno); when it is, content holds the packet or the fault. For the driver and its tools alike.
struct Ob8File {
    SpoolFileRead read;
    Ob8Content content;
};
Ob8File ReadOb8File(const std::string& path, SpoolFs& fs = SystemSpoolFs());
// Whether the bytes are one whole record as the driver writes it: 24 bytes beginning with the station event code
// (.ob8), or 555 bytes (.obz).
bool IsWholeSpoolRecord(const std::vector<std::uint8_t>& bytes, bool ob8);

// The parts of the name of a temporary spool file, <base><stem><suffix>.<pid>.part; nullopt for any other name.
struct TemporarySpoolName {
    std::string stem;
    std::string suffix;  // ".ob8", or ".obz" with what stands before it after the stem ("_-1.obz")
    long pid = 0;
};
std::optional<TemporarySpoolName> ParseTemporarySpoolName(std::string_view name, std::string_view base);

struct SpoolWriteResult {
    bool ok = false;
    std::string path;  // the final name when ok
    int error = 0;     // errno of the failure otherwise
};

// Stores one spool file at prefix + stem + suffix so that no reader ever sees it half-written and no waiting
// file is replaced: the bytes go to a temporary name that matches no spool pattern, are flushed to disk, and the
// file is then renamed to its final name only if that name is free; when it is taken, the stem's value is
// raised by one until a free name is found. The directory is synced afterwards.
// With no value (the clock could not be read) the name has no stem.
SpoolWriteResult WriteSpoolFile(const std::string& prefix, std::optional<std::uint32_t> value,
                                const std::string& suffix, const std::vector<std::uint8_t>& bytes,
                                SpoolFs& fs = SystemSpoolFs());

// What became of one temporary spool file (<prefix><stem><suffix>.<pid>.part) that a writer left behind.
struct LeftoverSpoolFile {
    std::string part;       // its path
    bool complete = false;  // it held a whole record (24 bytes with the event code, or 555 bytes)
    std::string path;       // where it went: the next free spool name when complete, <part without .part>.bad else
    int error = 0;          // errno when it could not be read or moved (it then stays where it was)
    std::string fileType;   // set when it is no regular file (never opened; set aside as .bad like an incomplete one)
};
// Finishes the temporary .ob8 and .obz files under prefix whose writer is gone: a whole record goes under its
// final name (the next free one on a clash), anything else is set aside as .bad. writerAlive(pid) tells whether
// the process named in a file's name may still be writing it; such files are left alone. Call it only while no
// other driver of this spool directory can be writing (the single-instance lock held).
std::vector<LeftoverSpoolFile> FinishLeftoverSpoolFiles(const std::string& prefix,
                                                        const std::function<bool(long pid)>& writerAlive,
                                                        SpoolFs& fs = SystemSpoolFs());

}  // namespace drv
