#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace drvtest {

// A fresh directory under $TMPDIR (or /tmp), named after tag, removed with its content on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "drvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Names of the entries whose name ends with suffix, sorted.
    std::vector<std::string> list(const std::string& suffix = "") const;

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
std::vector<std::uint8_t> ReadBytes(const std::string& path);
std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);

}  // namespace drvtest
