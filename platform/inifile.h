#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace drv {

// An INI profile file read with the usual profile rules: section and key names match without regard to
// (ASCII) case, names and values are trimmed of blanks, a value is at most 2047 characters, lines starting
// with ';' or '#' are comments, and the first matching key of the first matching section wins. Lines end at LF,
// CR LF or a lone CR; a leading UTF-8 byte order mark is skipped.
// The file is read once, at construction; a missing or unreadable file reads as empty.
class IniFile {
public:
    static constexpr std::size_t kMaxValueLength = 2047;

    explicit IniFile(const std::string& path);
    // Parses text that is already in memory (the same rules).
    static IniFile FromText(std::string_view text);

    // The raw value, or nullopt when the section or key is missing.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    // The keys and raw values of the section as Value looks them up, in file order (of a key that repeats, the
    // first counts).
    std::vector<std::pair<std::string, std::string>> SectionEntries(std::string_view section) const;

    std::string ReadString(std::string_view section, std::string_view key, const std::string& def) const;
    // Decimal with optional sign, or hexadecimal with a 0x, 0X or $ prefix (up to 32 bits, taken as two's
    // complement). Anything else, and a decimal value outside the 32-bit range, gives def.
    std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
    // An integer: 0 is false, any other number true; a value that is not a number gives def.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // Writes one key into the file at path, keeping every other line as it was. Replaces the first matching key
    // of the first matching section, or adds the key at the end of that section, or adds the section at the end
    // of the file; creates the file when it is missing. The new content replaces the old one atomically.
    // Returns false, with errno set, when the file cannot be read or written.
    static bool WriteString(const std::string& path, std::string_view section, std::string_view key,
                            std::string_view value);

    // One key=value line under a section header, as read.
    struct Entry {
        std::string section;
        int sectionIndex = 0;  // which header of the file, counted from 0
        std::string key;
        std::string value;
    };
    // Every such line in file order, also those that lookups never reach (a repeated key or section).
    const std::vector<Entry>& Entries() const { return m_entries; }

private:
    template <typename F>
    void ForEachInSection(std::string_view section, F&& f) const;

    std::vector<Entry> m_entries;
};

// Parses an integer with the rules of IniFile::ReadInteger.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

// Joins a directory and a file name with exactly one '/' between them.
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace drv
