// drvorvel-spool: what the spool directory and the raw capture hold, for the people who run the driver.
// list, summary and show only read; requeue writes a new spool file the way the driver does (temporary name,
// flushed, renamed to a free name) and then removes the set-aside file. Safe beside a running driver: files
// still being written (*.part) are listed by name and size only and never opened, and the reading is the driver's
// own: only regular files, never in a way that could block.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/spool.h"
#include "core/spoolindex.h"
#include "core/stationframe.h"
#include "platform/datetime.h"
#include "z7link/z7record.h"

namespace {

const char* const kUsage = R"(usage: drvorvel-spool [--json|--csv] COMMAND ...
  list [DIR]          the pending .ob8 and .obz files in forwarding order, then the set-aside files,
                      each with its time, size and decoded content (DIR: the spool directory, default .)
  summary [DIR]       counts per kind, the oldest and newest file, the objects with the most events
  show FILE           one spool file in full
  requeue FILE...     gives each set-aside file that now reads as valid a fresh spool name, so that the
                      driver forwards it; anything else is refused with the reason
  capture FILE        decodes a raw capture (drvorvel.log) into frames and events, one line each
options:
  --json, --csv       machine-readable output instead of lines of text
  --first-number N    the driver's FirstNumber, for the object numbers of capture (default: FirstNumber of
                      the drvorvel.ini beside the capture, else the driver's own default 4)
  --prefix TEXT       the start of spool file names after the directory (PathForSoob's name part), for
                      requeue when it ends in an upper-case hexadecimal digit
Exit status: 0 done, 1 a file was refused or could not be read, 2 wrong usage.
)";

// ---- Output: rows of named fields, as text lines, JSON or CSV. ----

struct Field {
    std::string key;
    std::string value;
    bool number = false;
};
using Row = std::vector<Field>;
enum class Format { Text, Json, Csv };

Field Str(std::string key, std::string value) { return {std::move(key), std::move(value), false}; }
Field Num(std::string key, long long value) { return {std::move(key), std::to_string(value), true}; }

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (const char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string JsonObject(const Row& row) {
    std::string out = "{";
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i) out += ", ";
        out += JsonString(row[i].key) + ": " + (row[i].number ? row[i].value : JsonString(row[i].value));
    }
    return out + "}";
}

// Text: one line per row, the fields "key value" after the first, which stands alone.
void Print(const std::vector<Row>& rows, Format format) {
    if (format == Format::Json) {
        std::printf("[");
        for (std::size_t i = 0; i < rows.size(); ++i) std::printf("%s\n %s", i ? "," : "", JsonObject(rows[i]).c_str());
        std::printf("%s]\n", rows.empty() ? "" : "\n");
        return;
    }
    if (format == Format::Csv) {
        std::vector<std::string> keys;
        for (const auto& row : rows)
            for (const auto& f : row)
                if (std::find(keys.begin(), keys.end(), f.key) == keys.end()) keys.push_back(f.key);
        for (std::size_t i = 0; i < keys.size(); ++i) std::printf("%s%s", i ? "," : "", CsvField(keys[i]).c_str());
        std::printf("\n");
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const auto f = std::find_if(row.begin(), row.end(), [&](const Field& x) { return x.key == keys[i]; });
                std::printf("%s%s", i ? "," : "", f == row.end() ? "" : CsvField(f->value).c_str());
            }
            std::printf("\n");
        }
        return;
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i].value.empty()) continue;
            if (!line.empty()) line += "  ";
            line += i == 0 ? row[i].value : row[i].key + " " + row[i].value;
        }
        std::printf("%s\n", line.c_str());
    }
}

// ---- Spool files: the one place that uses the driver's spool reader. ----

enum class Kind { Ob8, Obz, SetAside, BeingWritten };

const char* KindName(Kind k) {
    switch (k) {
        case Kind::Ob8:
            return "event";
        case Kind::Obz:
            return "z7";
        case Kind::SetAside:
            return "set-aside";
        case Kind::BeingWritten:
            return "being-written";
    }
    return "";
}

const char* SummaryLabel(Kind k) {
    switch (k) {
        case Kind::Ob8:
            return "pending station events (.ob8)";
        case Kind::Obz:
            return "pending Z7 records (.obz)";
        case Kind::SetAside:
            return "set aside";
        case Kind::BeingWritten:
            return "being written";
    }
    return "";
}

struct SpoolFile {
    std::string name;
    std::string path;
    Kind kind = Kind::Ob8;
    bool ob8 = true;  // the record type: .ob8 (else .obz)
    std::int64_t mtimeNs = 0;
    long long size = 0;
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// What a name says about the file: nullopt for a name that is no spool file at all.
std::optional<Kind> KindOfName(const std::string& name, bool* ob8) {
    if (EndsWith(name, ".ob8") || EndsWith(name, ".obz")) {
        *ob8 = EndsWith(name, ".ob8");
        return *ob8 ? Kind::Ob8 : Kind::Obz;
    }
    const auto part = drv::ParseTemporarySpoolName(name, "");
    if (part) {
        *ob8 = part->suffix == ".ob8";
        return Kind::BeingWritten;
    }
    // Set aside by forwarding (<name>.bad, .bad1, ...) or an unfinished file found at startup (<name>.<pid>.bad).
    const auto bad = name.rfind(".bad");
    if (bad == std::string::npos) return std::nullopt;
    const std::string before = name.substr(0, bad);
    for (const char* ext : {".ob8", ".obz"}) {
        const auto at = before.rfind(ext);
        if (at != std::string::npos && (at + 4 == before.size() || before[at + 4] == '.')) {
            *ob8 = std::string(ext) == ".ob8";
            return Kind::SetAside;
        }
    }
    return std::nullopt;
}

std::string DirOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<SpoolFile> Stat(const std::string& path) {
    SpoolFile f;
    f.path = path;
    f.name = BaseOf(path);
    const auto kind = KindOfName(f.name, &f.ob8);
    struct stat st {};
    if (!kind || ::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
    f.kind = *kind;
    f.size = static_cast<long long>(st.st_size);
    f.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return f;
}

// Every spool file of the directory: the pending ones in the driver's forwarding order (.ob8, then .obz), then
// the set-aside ones and the ones being written, oldest first. False when the directory cannot be listed.
bool ListSpool(const std::string& dir, std::vector<SpoolFile>* out) {
    for (const char* suffix : {".ob8", ".obz"}) {
        drv::SpoolIndex index(drv::SpoolPattern(dir + "/", suffix));
        if (!index.Rescan()) return false;
        while (const auto first = index.First()) {
            index.Remove(*first);
            if (auto f = Stat(index.Pattern().PathOf(*first))) out->push_back(*f);
        }
    }
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    std::vector<SpoolFile> others;
    while (const dirent* e = ::readdir(d)) {
        bool ob8 = false;
        const auto kind = KindOfName(e->d_name, &ob8);
        if (!kind || *kind == Kind::Ob8 || *kind == Kind::Obz) continue;
        if (auto f = Stat((dir == "/" ? "" : dir) + "/" + e->d_name)) others.push_back(*f);
    }
    ::closedir(d);
    std::sort(others.begin(), others.end(), [](const SpoolFile& a, const SpoolFile& b) {
        return a.mtimeNs != b.mtimeNs ? a.mtimeNs < b.mtimeNs : a.name < b.name;
    });
    out->insert(out->end(), others.begin(), others.end());
    return true;
}

// What a spool file holds, judged as the driver judges it (never for a file being written).
struct Content {
    bool read = false;                // bytes hold the file's content
    std::vector<std::uint8_t> bytes;  // at most what the driver would read of it
    std::string fault;                // why the driver would not forward it, or why it cannot be read; empty: valid
};

Content ReadContent(const SpoolFile& f) {
    Content c;
    const auto readFault = [&](const drv::SpoolFileRead& r) {
        switch (r.status) {
            case drv::SpoolFileRead::Status::Gone:
                c.fault = "gone (forwarded meanwhile)";
                break;
            case drv::SpoolFileRead::Status::NotRegular:
                c.fault = std::string("is a ") + r.fileType + ", not a regular file";
                break;
            default:
                c.fault = std::string("cannot be read: ") + std::strerror(r.error);
                break;
        }
    };
    if (f.ob8) {
        const auto file = drv::ReadOb8File(f.path);
        if (file.read.status != drv::SpoolFileRead::Status::Ok) {
            readFault(file.read);
            return c;
        }
        c.read = true;
        c.bytes = file.read.bytes;
        c.fault = file.content.fault;
        return c;
    }
    const auto r = drv::SystemSpoolFs().ReadFile(f.path, drv::z7::kRecordSize + 1);
    if (r.status != drv::SpoolFileRead::Status::Ok) {
        readFault(r);
        return c;
    }
    c.read = true;
    c.bytes = r.bytes;
    if (r.size != drv::z7::kRecordSize) {
        c.fault = "holds " + std::to_string(r.size) + " bytes instead of " + std::to_string(drv::z7::kRecordSize);
    } else if (!drv::z7::HasSignature(r.bytes.data())) {
        c.fault = "has no record signature";
    }
    return c;
}

// The station event an .ob8 file holds, when it holds one.
std::optional<drv::StationEvent> EventOf(const Content& c) {
    if (!c.read || !c.fault.empty()) return std::nullopt;
    const auto packet = drv::ParseOb8(c.bytes.data(), c.bytes.size());
    if (!packet || packet->code != drv::kOb8StationEventCode) return std::nullopt;
    drv::StationEvent e{};
    std::copy(packet->payload.begin(), packet->payload.end(), e.begin());
    return e;
}

// ---- Decoding. ----

std::string FormatLocal(std::int64_t ns) {
    const time_t secs = static_cast<time_t>(ns / 1000000000);
    struct tm tm {};
    ::localtime_r(&secs, &tm);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>((ns / 1000000) % 1000));
    return buf;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

// The fields of a station event (20 bytes).
void AddEvent(Row& row, const std::uint8_t* event) {
    drv::StationEvent e{};
    std::copy(event, event + e.size(), e.begin());
    row.push_back(Num("object", drv::EventObjectNumber(e)));
    row.push_back(Str("code", std::string(reinterpret_cast<const char*>(&e[5]), 2)));
    row.push_back(Str("b3", Hex(&e[9], 1)));
    row.push_back(Str("b4", Hex(&e[10], 1)));
}

// The decoded content of a spool file; the reason when it is no valid record.
void AddContent(Row& row, const SpoolFile& f, const Content& c) {
    if (f.ob8 && c.read && c.bytes.size() >= 4) {
        const auto packet = drv::ParseOb8(c.bytes.data(), c.bytes.size());
        if (const auto event = EventOf(c)) {
            AddEvent(row, event->data());
        } else if (packet->code != drv::kOb8StationEventCode) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", packet->code);
            row.push_back(Str("packet", code));
            row.push_back(Num("payload", static_cast<long long>(packet->payload.size())));
        }
    } else if (!f.ob8 && c.read && c.bytes.size() >= drv::z7::kRecordSize && drv::z7::HasSignature(c.bytes.data())) {
        const std::uint8_t code = drv::z7::CodeOf(c.bytes.data());
        row.push_back(Num("code", code));
        if (*drv::z7::RecordName(code) != 0) row.push_back(Str("record", drv::z7::RecordName(code)));
        row.push_back(Num("param", drv::z7::ParamOf(c.bytes.data())));
        row.push_back(Num("value", drv::z7::ValueOf(c.bytes.data())));
        const drv::TDateTime t = drv::z7::DateTimeOf(c.bytes.data());
        if (t != 0 && drv::DecodeDateTime(t)) row.push_back(Str("datetime", drv::FormatDateTime(t)));
    }
    if (!c.fault.empty()) row.push_back(Str("reason", c.fault));
}

Row Describe(const SpoolFile& f) {
    Row row{Str("name", f.name), Str("kind", KindName(f.kind)), Str("time", FormatLocal(f.mtimeNs)),
            Num("size", f.size)};
    if (f.kind == Kind::BeingWritten) return row;  // never opened: its writer may still be at it
    AddContent(row, f, ReadContent(f));
    return row;
}

// ---- Commands. ----

int List(const std::string& dir, Format format) {
    std::vector<SpoolFile> files;
    if (!ListSpool(dir, &files)) {
        std::fprintf(stderr, "drvorvel-spool: cannot list %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<Row> rows;
    for (const auto& f : files) rows.push_back(Describe(f));
    if (format == Format::Text && rows.empty()) std::printf("no spool files in %s\n", dir.c_str());
    Print(rows, format);
    return 0;
}

int Summary(const std::string& dir, Format format) {
    std::vector<SpoolFile> files;
    if (!ListSpool(dir, &files)) {
        std::fprintf(stderr, "drvorvel-spool: cannot list %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    std::map<Kind, long long> counts;
    std::map<long long, long long> perObject;
    const SpoolFile* oldest = nullptr;
    const SpoolFile* newest = nullptr;
    for (const auto& f : files) {
        ++counts[f.kind];
        if (!oldest || f.mtimeNs < oldest->mtimeNs) oldest = &f;
        if (!newest || f.mtimeNs > newest->mtimeNs) newest = &f;
        if (f.kind != Kind::Ob8) continue;
        if (const auto event = EventOf(ReadContent(f))) ++perObject[drv::EventObjectNumber(*event)];
    }
    std::vector<std::pair<long long, long long>> top(perObject.begin(), perObject.end());
    std::stable_sort(top.begin(), top.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (top.size() > 5) top.resize(5);

    std::vector<Row> rows;
    for (const Kind k : {Kind::Ob8, Kind::Obz, Kind::SetAside, Kind::BeingWritten})
        rows.push_back({Str("item", SummaryLabel(k)), Num("value", counts[k])});
    if (oldest)
        rows.push_back({Str("item", "oldest"), Str("value", FormatLocal(oldest->mtimeNs) + " " + oldest->name)});
    if (newest)
        rows.push_back({Str("item", "newest"), Str("value", FormatLocal(newest->mtimeNs) + " " + newest->name)});
    for (const auto& [object, n] : top)
        rows.push_back({Str("item", "object " + std::to_string(object)), Num("value", n)});
    if (format == Format::Text) {
        for (const auto& row : rows) std::printf("%s: %s\n", row[0].value.c_str(), row[1].value.c_str());
        return 0;
    }
    if (format == Format::Csv) {
        Print(rows, format);
        return 0;
    }
    std::string json = "{";
    for (const Kind k : {Kind::Ob8, Kind::Obz, Kind::SetAside, Kind::BeingWritten})
        json += JsonString(KindName(k)) + ": " + std::to_string(counts[k]) + ", ";
    if (oldest) json += "\"oldest\": " + JsonObject(Describe(*oldest)) + ", ";
    if (newest) json += "\"newest\": " + JsonObject(Describe(*newest)) + ", ";
    json += "\"top_objects\": [";
    for (std::size_t i = 0; i < top.size(); ++i)
        json += (i ? ", " : "") + JsonObject({Num("object", top[i].first), Num("events", top[i].second)});
    std::printf("%s]}\n", json.c_str());
    return 0;
}

int Show(const std::string& path, Format format) {
    const auto f = Stat(path);
    if (!f) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            std::fprintf(
                stderr, "drvorvel-spool: %s %s\n", path.c_str(),
                errno == ENOENT ? "does not exist" : (std::string("cannot be read: ") + std::strerror(errno)).c_str());
        } else {
            std::fprintf(stderr, "drvorvel-spool: %s is no spool file\n", path.c_str());
        }
        return 1;
    }
    Row row{Str("name", f->name), Str("kind", KindName(f->kind)), Str("time", FormatLocal(f->mtimeNs)),
            Num("size", f->size)};
    if (f->kind != Kind::BeingWritten) {  // never opened: its writer may still be at it
        const Content c = ReadContent(*f);
        AddContent(row, *f, c);
        if (c.read) {
            row.push_back(Str("valid", c.fault.empty() ? "yes" : "no"));
            // The bytes that carry information: all of an .ob8 file (its first 64), the named fields of a Z7 record.
            row.push_back(Str("bytes", Hex(c.bytes.data(), std::min<std::size_t>(f->ob8 ? 64 : 38, c.bytes.size()))));
        }
    }
    if (format == Format::Text) {
        for (const auto& field : row) std::printf("%-9s %s\n", field.key.c_str(), field.value.c_str());
    } else {
        Print({row}, format);
    }
    return 0;
}

// The name part before the stem: the given prefix, or what precedes the trailing upper-case hex stem.
std::string NamePrefixOf(const std::string& original, const std::optional<std::string>& prefix, bool ob8) {
    if (prefix) return *prefix;
    std::string stemEnd = original.substr(0, original.size() - 4);  // without .ob8 / .obz
    if (!ob8 && stemEnd.rfind('_') != std::string::npos) stemEnd = stemEnd.substr(0, stemEnd.rfind('_'));
    std::size_t start = stemEnd.size();
    while (start > 0 && stemEnd.size() - start < 8 && std::isxdigit(static_cast<unsigned char>(stemEnd[start - 1])) &&
           !std::islower(static_cast<unsigned char>(stemEnd[start - 1])))
        --start;
    return stemEnd.substr(0, start);
}

int Requeue(const std::vector<std::string>& paths, const std::optional<std::string>& prefix, Format format) {
    std::vector<Row> rows;
    int status = 0;
    for (const auto& path : paths) {
        Row row{Str("file", path)};
        const auto refuse = [&](const std::string& why) {
            row.push_back(Str("result", "refused"));
            row.push_back(Str("reason", why));
            status = 1;
        };
        const auto f = Stat(path);
        const Content c = f && f->kind == Kind::SetAside ? ReadContent(*f) : Content{};
        if (!f || f->kind != Kind::SetAside) {
            refuse(f ? "not a set-aside file" : "no set-aside spool file of that name");
        } else if (!c.read || !c.fault.empty()) {
            refuse(c.fault);
        } else {
            // The original name: what stands before the set-aside ending (.bad, .badN, or .<pid>.bad).
            std::string original = f->name.substr(0, f->name.rfind(f->ob8 ? ".ob8" : ".obz") + 4);
            std::string suffix = f->ob8 ? ".ob8" : ".obz";
            if (!f->ob8) {
                const auto us = original.rfind('_');
                if (us != std::string::npos) suffix = original.substr(us);
            }
            const std::string namePrefix = NamePrefixOf(original, prefix, f->ob8);
            const auto written =
                drv::WriteSpoolFile(DirOf(path) + "/" + namePrefix, drv::SpoolTimeValue(drv::Now()), suffix, c.bytes);
            if (!written.ok) {
                refuse(std::string("cannot be written: ") + std::strerror(written.error));
            } else if (::unlink(path.c_str()) != 0) {
                row.push_back(Str("result", "requeued"));
                row.push_back(Str("as", written.path));
                row.push_back(Str("reason", std::string("the set-aside file stays: ") + std::strerror(errno)));
                status = 1;
            } else {
                row.push_back(Str("result", "requeued"));
                row.push_back(Str("as", written.path));
            }
        }
        rows.push_back(row);
    }
    Print(rows, format);
    return status;
}

// A raw capture as the driver's decoder sees one continuous stream: every frame with its event, and the bytes at
// the end that form no whole frame.
int Capture(const std::string& path, std::int32_t firstNumber, Format format) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "drvorvel-spool: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<Row> rows;
    drv::FrameDecoder decoder;
    long long frameStart = 0;           // offset of the frame in progress
    std::vector<std::uint8_t> pending;  // its bytes so far
    std::uint8_t buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
        // One byte per delivery with no silence before it: one unbroken stream (the capture keeps no times).
        for (std::size_t i = 0; i < n; ++i) {
            pending.push_back(buf[i]);
            decoder.Feed(buf + i, 1, drv::DeliveryLine{0}, [&](const std::uint8_t* frame, int length) {
                drv::StationEvent e{};
                drv::FillStationEvent(e, frame, length, firstNumber);
                Row row{Num("offset", frameStart), Str("frame", Hex(frame, static_cast<std::size_t>(length)))};
                AddEvent(row, e.data());
                rows.push_back(row);
                frameStart += length;
                pending.clear();
            });
        }
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (!pending.empty()) {
        rows.push_back({Num("offset", frameStart), Str("frame", Hex(pending.data(), pending.size())),
                        Str("stray", std::to_string(pending.size()) + " bytes form no whole frame")});
    }
    Print(rows, format);
    if (failed) std::fprintf(stderr, "drvorvel-spool: %s could not be read to its end\n", path.c_str());
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Format format = Format::Text;
    std::optional<std::int32_t> firstNumber;  // unset: as the driver of the capture's directory has it
    std::optional<std::string> prefix;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            format = Format::Json;
        } else if (a == "--csv") {
            format = Format::Csv;
        } else if ((a == "--first-number" || a == "--prefix") && i + 1 < argc) {
            if (a == "--prefix") {
                prefix = argv[++i];
            } else {
                firstNumber = static_cast<std::int32_t>(std::strtol(argv[++i], nullptr, 10));
            }
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", kUsage);
            return 0;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if ((command == "list" || command == "summary") && rest.size() <= 1) {
        const std::string dir = rest.empty() ? "." : rest[0];
        return command == "list" ? List(dir, format) : Summary(dir, format);
    }
    if (command == "show" && rest.size() == 1) return Show(rest[0], format);
    if (command == "requeue" && !rest.empty()) return Requeue(rest, prefix, format);
    if (command == "capture" && rest.size() == 1) {
        if (!firstNumber) {
            const std::string& path = rest[0];
            const std::size_t slash = path.rfind('/');
            const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
            firstNumber = drv::LoadDriverSettings(dir + "/drvorvel.ini").FirstNumber;
        }
        return Capture(rest[0], *firstNumber, format);
    }
    std::fprintf(stderr, "%s", kUsage);
    return 2;
}
