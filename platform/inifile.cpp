#include "platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "platform/uniquefd.h"

namespace drv {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// One physical line of the file, split off with its line ending kept.
struct Line {
    std::string_view text;    // without the line ending
    std::string_view full;    // with it
    std::string_view ending;  // "\n", "\r\n", "\r" or empty at the end of the file
};

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Lines end at LF, CR LF or a lone CR. A UTF-8 byte order mark at the start belongs to no line's text (it stays
// in the first line's full form, so a rewrite keeps it).
std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    const std::size_t bom = content.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
    while (pos < content.size()) {
        const std::size_t brk = content.find_first_of("\r\n", pos);
        std::size_t textEnd = brk == std::string_view::npos ? content.size() : brk;
        std::size_t end = textEnd;
        if (brk != std::string_view::npos) {
            end = brk + 1;
            if (content[brk] == '\r' && end < content.size() && content[end] == '\n') ++end;
        }
        const std::size_t textStart = pos == 0 ? bom : pos;
        lines.push_back({content.substr(textStart, textEnd - textStart), content.substr(pos, end - pos),
                         content.substr(textEnd, end - textEnd)});
        pos = end;
    }
    return lines;
}

// The section name of a "[name]" line, or nullopt.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

// The key of a "key=value" line, or nullopt for comments, blank lines and lines without '='.
std::optional<std::string_view> KeyOf(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view key = Trim(t.substr(0, eq));
    if (key.empty()) return std::nullopt;
    return key;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

IniFile::IniFile(const std::string& path) {
    std::string content;
    if (ReadWholeFile(path, content)) *this = FromText(content);
}

IniFile IniFile::FromText(std::string_view text) {
    IniFile ini("");
    std::string section;
    int sectionIndex = -1;
    for (const Line& line : SplitLines(text)) {
        if (auto s = SectionOf(line.text)) {
            section.assign(*s);
            ++sectionIndex;
            continue;
        }
        if (sectionIndex < 0) continue;
        auto key = KeyOf(line.text);
        if (!key) continue;
        std::string_view t = Trim(line.text);
        std::string_view value = Trim(t.substr(t.find('=') + 1));
        if (value.size() > kMaxValueLength) value = value.substr(0, kMaxValueLength);
        ini.m_entries.push_back({section, sectionIndex, std::string(*key), std::string(value)});
    }
    return ini;
}

// Calls f(entry) for the entries of the section in file order until f returns true.
template <typename F>
void IniFile::ForEachInSection(std::string_view section, F&& f) const {
    // The first section of that name holds the keys that count; a later one, however spelled, is ignored.
    int first = -1;
    for (const Entry& e : m_entries) {
        if (!EqualNoCase(e.section, section)) continue;
        if (first < 0) first = e.sectionIndex;
        if (e.sectionIndex != first) continue;
        if (f(e)) return;
    }
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    std::optional<std::string> value;
    ForEachInSection(section, [&](const Entry& e) {
        if (EqualNoCase(e.key, key)) value = e.value;
        return value.has_value();
    });
    return value;
}

std::vector<std::pair<std::string, std::string>> IniFile::SectionEntries(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> out;
    std::unordered_set<std::string> seen;
    ForEachInSection(section, [&](const Entry& e) {
        std::string folded = e.key;
        std::transform(folded.begin(), folded.end(), folded.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        if (seen.insert(std::move(folded)).second) out.emplace_back(e.key, e.value);
        return false;
    });
    return out;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, const std::string& def) const {
    auto v = Value(section, key);
    return v ? *v : def;
}

std::optional<std::int32_t> ParseProfileInteger(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    bool hex = false;
    if (s.front() == '$') {
        hex = true;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        v = v * (hex ? 16u : 10u) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    if (hex) {
        std::uint32_t u = static_cast<std::uint32_t>(v);
        if (negative) u = 0u - u;
        return static_cast<std::int32_t>(u);
    }
    if (negative) {
        if (v > 2147483648ull) return std::nullopt;
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(v));
    }
    if (v > 2147483647ull) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const {
    auto v = Value(section, key);
    if (!v) return def;
    auto n = ParseProfileInteger(*v);
    return n ? *n : def;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    auto v = Value(section, key);
    if (!v) return def;
    auto n = ParseProfileInteger(*v);
    return n ? *n != 0 : def;
}

bool IniFile::WriteString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
    std::string content;
    if (!ReadWholeFile(path, content)) {
        if (errno != ENOENT) return false;
        content.clear();
    }
    const std::vector<Line> lines = SplitLines(content);
    const std::string eol = content.find("\r\n") != std::string::npos ? "\r\n"
                            : content.find('\n') == std::string::npos && content.find('\r') != std::string::npos ? "\r"
                                                                                                                 : "\n";
    const std::string keyLine = std::string(key) + "=" + std::string(value);

    std::string out;
    out.reserve(content.size() + keyLine.size() + section.size() + 8);
    bool done = false;
    bool inTarget = false;
    bool seenTarget = false;
    std::size_t lastKeyEnd = std::string::npos;  // where to add a missing key: after the section's last entry

    for (const Line& line : lines) {
        if (auto s = SectionOf(line.text)) {
            if (inTarget && !done) {
                out.insert(lastKeyEnd, keyLine + eol);
                done = true;
            }
            inTarget = !seenTarget && EqualNoCase(*s, section);
            if (inTarget) seenTarget = true;
            out += line.full;
            if (inTarget) {
                if (line.ending.empty()) out += eol;
                lastKeyEnd = out.size();
            }
            continue;
        }
        if (inTarget && !done) {
            auto k = KeyOf(line.text);
            if (k && EqualNoCase(*k, key)) {
                out += keyLine;
                out += line.ending.empty() ? eol : std::string(line.ending);
                done = true;
                continue;
            }
            out += line.full;
            if (!Trim(line.text).empty()) {
                if (line.ending.empty()) out += eol;
                lastKeyEnd = out.size();
            }
            continue;
        }
        out += line.full;
    }
    if (!done) {
        if (inTarget) {
            out.insert(lastKeyEnd, keyLine + eol);
        } else {
            if (!lines.empty() && lines.back().ending.empty()) out += eol;
            out += "[" + std::string(section) + "]" + eol + keyLine + eol;
        }
    }

    // Replace the file atomically so that a crash never leaves it half-written.
    const std::string tmp = path + ".tmp-write";
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    // The temporary name is made anew: whatever had it (a link, a second name of another file) loses only the name.
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;
    UniqueFd fd(RetryEintr(
        [&] { return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode); }));
    if (!fd) return false;
    std::size_t written = 0;
    while (written < out.size()) {
        ssize_t n = RetryEintr([&] { return ::write(fd.get(), out.data() + written, out.size() - written); });
        if (n <= 0) {
            int e = errno;
            ::unlink(tmp.c_str());
            errno = e;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fdatasync(fd.get()) != 0 || ::close(fd.release()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    return true;
}

}  // namespace drv
