#include "core/configcheck.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "platform/inifile.h"
#include "serial/portnames.h"

namespace drv {
namespace {

enum class Kind { Text, Integer, Bool, Time, ServerPort, MetricsPort };

struct KeySpec {
    const char* section;
    const char* key;
    Kind kind;
    const char* defaultText;
};

// Every key the driver reads, with its section and the value a missing or unusable one gives.
constexpr KeySpec kKeys[] = {
    {"main", "ComPort", Kind::Text, kNoComPort},
    {"main", "n_abs", Kind::Integer, "-1"},
    {"main", "name", Kind::Integer, "-1"},
    {"main", "FirstNumber", Kind::Integer, "4"},
    {"main", "PathForSoob", Kind::Text, ""},
    {"main", "host", Kind::Text, "localhost"},
    {"main", "NotSendToDiskZ8", Kind::Bool, "0"},
    {"main", "Attention", Kind::Time, "00:10:00"},
    {"main", "ret", Kind::Text, ""},
    {"main", "Log", Kind::Bool, "0"},
    {"main", "SendZ7", Kind::Bool, "0"},
    {"main", "SendZ8", Kind::Bool, "1"},
    {"main", "OTS", Kind::Bool, "0"},
    {"ServerHost", "Address", Kind::Text, kDefaultZ8Address},
    {"ServerHost", "Port", Kind::ServerPort, "12543"},
    {"ServerHost", "PacketSize", Kind::Integer, "2000"},
    {"metrics", "Address", Kind::Text, "127.0.0.1"},
    {"metrics", "Port", Kind::MetricsPort, "0"},
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

bool IsPortsKey(const std::string& key) {
    const std::string k = Lower(key);
    return k.size() > 3 && k.compare(0, 3, "com") == 0 &&
           std::all_of(k.begin() + 3, k.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

const KeySpec* Find(const std::string& section, const std::string& key) {
    for (const KeySpec& s : kKeys)
        if (SameName(section, s.section) && SameName(key, s.key)) return &s;
    return nullptr;
}

// The sections that hold this key, for a key found in the wrong one.
std::vector<const KeySpec*> Owners(const std::string& key) {
    std::vector<const KeySpec*> owners;
    for (const KeySpec& s : kKeys)
        if (SameName(key, s.key)) owners.push_back(&s);
    return owners;
}

bool IsKnownSection(const std::string& section) {
    return SameName(section, "ports") || std::any_of(std::begin(kKeys), std::end(kKeys),
                                                     [&](const KeySpec& s) { return SameName(section, s.section); });
}

// Edits (insert, delete, replace, swap of neighbours) between two names, compared without regard to case.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    const std::string x = Lower(a), y = Lower(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[x.size()][y.size()];
}

// "; did you mean ComPort?" for a name one or two letters off a known one (the closest), else empty.
std::string Suggestion(const std::string& name, const std::vector<std::string>& known) {
    const std::string* best = nullptr;
    std::size_t bestDistance = 3;
    for (const std::string& k : known) {
        const std::size_t distance = EditDistance(name, k);
        // Short names are too alike to guess from two letters.
        const std::size_t limit =
            std::min<std::size_t>(2, std::max<std::size_t>(1, std::min(name.size(), k.size()) / 3));
        if (distance > 0 && distance <= limit && distance < bestDistance) {
            best = &k;
            bestDistance = distance;
        }
    }
    return best != nullptr ? "; did you mean " + *best + "?" : std::string();
}

std::vector<std::string> KeysOf(const std::string& section) {
    std::vector<std::string> keys;
    for (const KeySpec& s : kKeys)
        if (section.empty() || SameName(section, s.section)) keys.emplace_back(s.key);
    return keys;
}

std::vector<std::string> SectionNames() {
    std::vector<std::string> names{"ports"};
    for (const KeySpec& s : kKeys)
        if (std::find(names.begin(), names.end(), s.section) == names.end()) names.emplace_back(s.section);
    return names;
}

// Why a value of this kind is unusable, or nullopt when it is fine.
std::optional<std::string> Problem(Kind kind, const std::string& value) {
    switch (kind) {
        case Kind::Text:
            return std::nullopt;
        case Kind::Integer:
            if (ParseProfileInteger(value)) return std::nullopt;
            return "is not a number";
        case Kind::Bool:
            if (ParseProfileInteger(value)) return std::nullopt;
            return "is not a number (0 is off, any other number on)";
        case Kind::Time:
            if (ParseTimeText(value)) return std::nullopt;
            return "is not a time hh:mm:ss or hh:mm below 24 hours";
        case Kind::ServerPort: {
            const auto n = ParseProfileInteger(value);
            if (!n) return "is not a number";
            if (*n < 1 || *n > 65535) return "is no TCP port (1 to 65535)";
            return std::nullopt;
        }
        case Kind::MetricsPort: {
            const auto n = ParseProfileInteger(value);
            if (!n) return "is not a number";
            if (*n < 0 || *n > 65535) return "is no TCP port (1 to 65535, 0 for none)";
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The value a key has in effect: its first value in its first section when that one is usable, else its default.
std::string InEffect(const IniFile& ini, const KeySpec& entry) {
    const auto v = ini.Value(entry.section, entry.key);
    if (v && !Problem(entry.kind, *v)) return *v;
    return entry.defaultText;
}

std::string Describe(const KeySpec& entry, const std::string& value) {
    if (entry.kind == Kind::MetricsPort && (value == "0" || !ParseProfileInteger(value) || value.front() == '-'))
        return "0 (metrics off)";
    return "\"" + value + "\"";
}

}  // namespace

std::vector<std::string> ConfigurationWarnings(const std::string& iniPath) {
    std::vector<std::string> lines;
    if (::access(iniPath.c_str(), F_OK) != 0) {
        lines.push_back("no " + iniPath + ": every setting has its default");
        return lines;
    }
    if (::access(iniPath.c_str(), R_OK) != 0) {
        lines.push_back(iniPath + " cannot be read: every setting has its default");
        return lines;
    }
    const IniFile ini(iniPath);
    std::map<std::string, int> firstSection;                  // lower-case name -> index of its first header
    std::map<std::pair<int, std::string>, std::string> seen;  // (section index, lower-case key) -> first value
    for (const auto& e : ini.Entries()) firstSection.emplace(Lower(e.section), e.sectionIndex);

    for (const auto& e : ini.Entries()) {
        const std::string where = std::string(kConfigFileName) + " [" + e.section + "] " + e.key + "=" + e.value;
        const KeySpec* entry = Find(e.section, e.key);
        if (firstSection[Lower(e.section)] != e.sectionIndex) {
            std::string effect;
            if (entry != nullptr)
                effect = "; " + std::string(entry->key) + " is " + Describe(*entry, InEffect(ini, *entry));
            lines.push_back(where + " has no effect: only the first [" + e.section + "] section counts" + effect);
            continue;
        }
        if (!seen.emplace(std::make_pair(e.sectionIndex, Lower(e.key)), e.value).second) {
            std::string effect;
            if (entry != nullptr) effect = " (" + Describe(*entry, InEffect(ini, *entry)) + ")";
            lines.push_back(where + " has no effect: the first " + e.key + " of the section counts" + effect);
            continue;
        }
        if (entry != nullptr) {
            if (const auto problem = Problem(entry->kind, e.value)) {
                if (entry->kind == Kind::ServerPort && ParseProfileInteger(e.value)) {
                    lines.push_back(where + " " + *problem + "; no connection to the Z8 server can be made");
                } else {
                    lines.push_back(where + " " + *problem + "; using " + Describe(*entry, InEffect(ini, *entry)));
                }
            }
            continue;
        }
        if (SameName(e.section, "ports")) {
            if (!IsPortsKey(e.key)) lines.push_back(where + " has no effect: [ports] maps COM names such as COM3");
            continue;
        }
        const auto owners = Owners(e.key);
        if (!owners.empty()) {
            std::string text = where + " has no effect here: " + e.key + " belongs in";
            for (std::size_t i = 0; i < owners.size(); ++i) {
                text += std::string(i == 0 ? " " : " or ") + "[" + owners[i]->section +
                        "] (in effect: " + Describe(*owners[i], InEffect(ini, *owners[i])) + ")";
            }
            lines.push_back(text);
            continue;
        }
        if (!IsKnownSection(e.section)) {
            lines.push_back(where + " has no effect: the driver reads no section [" + e.section + "]" +
                            Suggestion(e.section, SectionNames()));
        } else {
            std::string hint = Suggestion(e.key, KeysOf(e.section));
            if (hint.empty()) hint = Suggestion(e.key, KeysOf({}));
            lines.push_back(where + " has no effect: the driver reads no such key" + hint);
        }
    }
    return lines;
}

std::vector<std::string> IgnoreListWarnings(const std::string& path) {
    std::vector<std::string> lines;
    if (::access(path.c_str(), F_OK) != 0) return lines;
    if (::access(path.c_str(), R_OK) != 0) {
        lines.push_back(path + " cannot be read: no object is ignored");
        return lines;
    }
    const IniFile ini(path);
    for (const auto& e : ini.Entries()) {
        const std::string where = std::string(kIgnoreFileName) + " [" + e.section + "] " + e.key + "=" + e.value;
        if (!SameName(e.section, "object")) {
            lines.push_back(where + " has no effect: only the section [object] lists objects" +
                            Suggestion(e.section, {"object"}));
            continue;
        }
        const bool decimal = !e.key.empty() && e.key.size() <= 10 &&
                             std::all_of(e.key.begin(), e.key.end(), [](unsigned char c) { return std::isdigit(c); }) &&
                             (e.key == "0" || e.key[0] != '0');
        if (!decimal) {
            lines.push_back(where + " has no effect: an object number is written in decimal, as 40802");
        } else if (!ParseProfileInteger(e.value)) {
            lines.push_back(where + " is not a number (0 is off, any other number ignores the object): not ignored");
        }
    }
    return lines;
}

std::string ConfigurationLine(const std::string& workingDirectory) {
    const std::string iniPath = JoinPath(workingDirectory, kConfigFileName);
    const DriverSettings s = LoadDriverSettings(iniPath);
    const ServerHostSettings z8 = LoadServerHostSettings(iniPath);
    const MetricsSettings m = LoadMetricsSettings(iniPath);
    std::string line = "configuration: station port ";
    if (s.ComPort == kNoComPort) {
        line += "none (ComPort=" + s.ComPort + ")";
    } else {
        line += s.ComPort + " (" + DevicePathForPort(std::string(kPortNamePrefix) + s.ComPort, iniPath) + ")";
    }
    line += s.SendZ8 ? ", Z8 server " + z8.Address + ":" + std::to_string(z8.Port) : ", no Z8 link";
    line += s.SendZ7 ? ", Z7 host " + s.host + ":7788" : ", no Z7 link";
    line += ", spool directory " + SpoolPrefixFor(workingDirectory, s.PathForSoob);
    line += ", SendZ7=" + std::to_string(s.SendZ7 ? 1 : 0) + ", SendZ8=" + std::to_string(s.SendZ8 ? 1 : 0);
    line += m.On() ? ", metrics at http://" + m.Address + ":" + std::to_string(m.Port) + "/metrics" : ", metrics off";
    return line;
}

}  // namespace drv
