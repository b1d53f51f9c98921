#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace drv {

// The file operations that spool files need, over the system's calls. Tests derive from it to make single calls
// fail (full disk, read-only or missing directory, failed flush). Every call returns 0 or the errno of the
// failure; none throws. Any thread, no shared state.
class SpoolFs {
public:
    virtual ~SpoolFs() = default;

    // Creates path anew (a leftover of the same name is replaced), writes every byte, flushes them to disk with
    // fdatasync and closes it. On any failure nothing is left under path.
    virtual int WriteDurably(const std::string& path, const std::vector<std::uint8_t>& bytes);
    // Moves from to to only if to does not exist (EEXIST otherwise).
    virtual int RenameNoReplace(const std::string& from, const std::string& to);
    virtual int Remove(const std::string& path);
    // Flushes the directory entry changes of dir to disk.
    virtual int SyncDirectory(const std::string& dir);
    // The names (not paths) of the entries of dir.
    virtual int List(const std::string& dir, std::vector<std::string>* names);
    // Reads at most limit bytes from the start of path.
    virtual int Read(const std::string& path, std::size_t limit, std::vector<std::uint8_t>* bytes);
};

// The system's file operations, shared by every caller.
SpoolFs& SystemSpoolFs();

// The directory part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path);

}  // namespace drv
