#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace drv {

// What reading a spool file found. A spool directory may hold anything under a spool name: only a regular file
// is ever opened for reading, and never in a way that could block (a FIFO, a device).
struct SpoolFileRead {
    enum class Status {
        Ok,          // bytes: the start of a regular file; size: its whole size
        Gone,        // no such file (any more)
        NotRegular,  // a FIFO, device, socket, directory or symbolic link: fileType names it; nothing was read
        Failed,      // a passing fault (EMFILE, ENFILE, ENOMEM, EIO, EACCES...): error; the file may be read later
    } status = Status::Failed;
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    const char* fileType = "regular file";
    int error = 0;  // errno of a failure
};

// The name of a file type ("FIFO", "directory", "symbolic link", ...) for messages; st_mode bits as from stat.
const char* FileTypeName(unsigned mode);

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
    // Flushes the data of an existing regular file to disk (fdatasync); never follows a link, never blocks on
    // the open.
    virtual int SyncFile(const std::string& path);
    // Flushes the directory entry changes of dir to disk.
    virtual int SyncDirectory(const std::string& dir);
    // Makes dir and the parents it lacks, each with mode (less the umask); 0 also when dir exists as a directory.
    virtual int MakeDirectories(const std::string& dir, unsigned mode);
    // The names (not paths) of the entries of dir.
    virtual int List(const std::string& dir, std::vector<std::string>* names);
    // Reads at most limit bytes from the start of path, when it is a regular file; never blocks on the file itself
    // and never follows a symbolic link. wholeOnly: a file larger than limit is not read at all (size tells).
    virtual SpoolFileRead ReadFile(const std::string& path, std::size_t limit, bool wholeOnly = false);
};

// The system's file operations, shared by every caller.
SpoolFs& SystemSpoolFs();

// The directory part of a path ("." when there is none).
std::string DirectoryOf(const std::string& path);

}  // namespace drv
