#include "tests/support/tempdir.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace drvtest {

TempDir::TempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempDir::read(const std::string& name) const { return ReadFile(file(name)); }

bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

std::vector<std::string> TempDir::list(const std::string& suffix) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_path)) {
        std::string n = e.path().filename().string();
        if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    const std::string s = ReadFile(path);
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

}  // namespace drvtest
