#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/datetime.h"

// The records of the Z7 message server's protocol: exactly 555 bytes each, back to back on the stream, no length,
// no terminator, no checksum. Pure functions over bytes; no I/O, no Qt.
namespace drv::z7 {

inline constexpr std::size_t kRecordSize = 555;
using Record = std::array<std::uint8_t, kRecordSize>;

// Field offsets.
inline constexpr std::size_t kCodeOffset = 2;
inline constexpr std::size_t kParamOffset = 3;
inline constexpr std::size_t kValueOffset = 5;
inline constexpr std::size_t kDateTimeOffset = 30;

// Record codes.
inline constexpr std::uint8_t kSetClock = 4;       // server to driver: DateTime
inline constexpr std::uint8_t kClose = 17;         // server to driver: close the driver
inline constexpr std::uint8_t kHello = 20;         // driver to server, first on a connection: Param 9
inline constexpr std::uint8_t kPortNumber = 50;    // driver to server, second on a connection: Param = COM number
inline constexpr std::uint8_t kStationLost = 'H';  // driver to server: Value 9
inline constexpr std::uint8_t kStationUp = 'I';    // driver to server: Value 9

inline constexpr std::uint8_t kHelloParam = 9;
inline constexpr std::int32_t kStatusValue = 9;

// A record with the signature 0xFF 0xFF, the code, Param and Value; every other byte 0.
Record BuildRecord(std::uint8_t code, std::uint8_t param = 0, std::int32_t value = 0);
// A record of code 4 carrying the date-time value.
Record BuildClockRecord(TDateTime dateTime);
// The status record ('H', 'I') of the station watchdog: Value 9.
inline Record BuildStatusRecord(std::uint8_t code) { return BuildRecord(code, 0, kStatusValue); }

// A piece of 555 bytes (at least 3 are read) counts as a record only when its first two bytes are both 0xFF.
bool HasSignature(const std::uint8_t* piece);
inline std::uint8_t CodeOf(const std::uint8_t* record) { return record[kCodeOffset]; }
inline std::uint8_t ParamOf(const std::uint8_t* record) { return record[kParamOffset]; }
std::int32_t ValueOf(const std::uint8_t* record);
TDateTime DateTimeOf(const std::uint8_t* record);

// The COM port number of a code-50 record: the decimal number after the first seven characters of the serial
// port's name ("\\.\COM12" gives 12), reduced to its low 8 bits; nullopt when that text is not a number.
std::optional<std::uint8_t> PortNumberOf(const std::string& portName);

// The calendar time that a code-4 record asks the clock to be set to; nullopt when its value is not finite or
// lies outside the years the system clock accepts (1970 to 2261), so that the clock is left alone.
std::optional<DateTimeParts> ClockTarget(TDateTime dateTime);

// Cuts a byte stream into records: appends size bytes of data to pending and moves every complete 555-byte
// piece out of its front, in order, into the result (pieces without the signature too). Fewer than 555 bytes
// stay in pending for the next call.
std::vector<Record> CutRecords(std::vector<std::uint8_t>& pending, const std::uint8_t* data, std::size_t size);

// The end of a .obz spool file name after its stamp: "_", n_abs in decimal, ".obz".
std::string SpoolSuffix(std::int32_t n_abs);

// What a record of this code is, by its letter where it has one ("'I' station link present"); empty for a
// code this system does not use.
const char* RecordName(std::uint8_t code);

// One line describing a received piece: "code C param P value V (name)" (and the date-time of a code-4 record), or
// "piece without signature" with its first bytes.
std::string Describe(const std::uint8_t* piece);

}  // namespace drv::z7
