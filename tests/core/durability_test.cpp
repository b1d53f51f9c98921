// The durable write of spool files, step by step, as the kernel sees it: the main window's own writers and its
// startup finish spool files over the system's calls, and this executable sits in front of those calls (it defines
// them; each records its step and passes the call on), so that no step can go missing or change its place unseen.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "tests/support/coreapp.h"
#include "tests/support/tempdir.h"

namespace {

// What happened to the files of one directory, one line a step, names relative to the directory and the
// process id written as PID: "flush NAME SIZE" (data synced, SIZE bytes in the file at that moment), "place FROM
// TO" (renamed only because TO was free), "replace FROM TO" (renamed over whatever TO was), "syncdir".
// Only names of spool files (.ob8, .obz, .part) and the directory's own sync are kept. Any thread.
class StepRecorder {
public:
    static StepRecorder& Get() {
        static StepRecorder recorder;
        return recorder;
    }

    void Watch(const std::string& dir) {
        char real[PATH_MAX];
        std::lock_guard lock(m_mutex);
        m_dir = ::realpath(dir.c_str(), real) != nullptr ? real : dir;
        m_steps.clear();
    }
    void Stop() {
        std::lock_guard lock(m_mutex);
        m_dir.clear();
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_steps, {});
    }

    void Synced(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return;
        const std::string path = PathOf(fd);
        if (S_ISDIR(st.st_mode)) {
            std::lock_guard lock(m_mutex);
            if (!m_dir.empty() && path == m_dir) m_steps.push_back("syncdir");
            return;
        }
        Note("flush", path, std::to_string(st.st_size));
    }
    void Note(const char* what, const std::string& a, const std::string& b = {}) {
        std::lock_guard lock(m_mutex);
        const std::string first = Relative(a);
        if (first.empty() || !IsSpoolName(first)) return;
        std::string step = std::string(what) + " " + first;
        if (!b.empty()) step += " " + (Relative(b).empty() ? b : Relative(b));
        m_steps.push_back(step);
    }

private:
    static std::string PathOf(int fd) {
        char buf[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    static bool IsSpoolName(const std::string& name) {
        for (const char* s : {".ob8", ".obz", ".part"})
            if (name.find(s) != std::string::npos) return true;
        return false;
    }
    // Under the lock: the name within the watched directory with the process id as PID; empty when outside.
    std::string Relative(const std::string& path) const {
        if (m_dir.empty() || path.rfind(m_dir + "/", 0) != 0) return {};
        std::string name = path.substr(m_dir.size() + 1);
        const std::string pid = "." + std::to_string(::getpid()) + ".";
        if (const auto p = name.find(pid); p != std::string::npos) name.replace(p, pid.size(), ".PID.");
        return name;
    }

    std::mutex m_mutex;
    std::string m_dir;
    std::vector<std::string> m_steps;
};

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

// The calls of the durable write, recorded on their way to the C library.
extern "C" {

int fdatasync(int fd) {
    static const auto next = Next<int (*)(int)>("fdatasync");
    StepRecorder::Get().Synced(fd);
    return next(fd);
}

int fsync(int fd) {
    static const auto next = Next<int (*)(int)>("fsync");
    StepRecorder::Get().Synced(fd);
    return next(fd);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
    static const auto next = Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    const int rc = next(olddirfd, oldpath, newdirfd, newpath, flags);
    if (rc == 0) StepRecorder::Get().Note((flags & RENAME_NOREPLACE) != 0 ? "place" : "replace", oldpath, newpath);
    return rc;
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    static const auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
    const int rc = next(olddirfd, oldpath, newdirfd, newpath);
    if (rc == 0) StepRecorder::Get().Note("replace", oldpath, newpath);
    return rc;
}

int rename(const char* oldpath, const char* newpath) {
    static const auto next = Next<int (*)(const char*, const char*)>("rename");
    const int rc = next(oldpath, newpath);
    if (rc == 0) StepRecorder::Get().Note("replace", oldpath, newpath);
    return rc;
}

// A hard link fails on a taken name just as a rename without replacing does; the source's unlink that follows is
// part of the same step.
int link(const char* oldpath, const char* newpath) {
    static const auto next = Next<int (*)(const char*, const char*)>("link");
    const int rc = next(oldpath, newpath);
    if (rc == 0) StepRecorder::Get().Note("place", oldpath, newpath);
    return rc;
}

}  // extern "C"

namespace {

class Durability : public ::testing::Test {
protected:
    void SetUp() override { drvtest::TestCoreApp(); }
    void TearDown() override {
        form.reset();
        StepRecorder::Get().Stop();
    }

    // The driver in the temporary directory; the Z8 server's port is one nobody listens on, so events spool.
    void Start() {
        dir.write("drvorvel.ini", "[main]\nn_abs=3\n[ServerHost]\nAddress=127.0.0.1\nPort=1\n");
        drv::DriverOptions options;
        options.workingDirectory = dir.path();
        options.clock.wall = [] { return drv::EncodeDateTime({2026, 12, 8, 12, 30, 15, 250}); };
        form = std::make_unique<drv::Driver>(&view, options);
        form->Start();
    }

    drvtest::TempDir dir;
    drvtest::RecordingView view;
    std::unique_ptr<drv::Driver> form;
};

}  // namespace

TEST_F(Durability, EverySpoolFileIsWrittenSyncedPlacedWithoutReplacingAndItsDirectorySynced) {
    // A complete file left behind by a writer that is gone, finished at startup.
    const std::string leftover = std::string("\x20\x00\x00\x03", 4) + std::string(20, '\x01');
    dir.write("2BE1C0D2.ob8.999999998.part", leftover);
    const struct {
        const char* name;
        std::function<void()> action;
        std::vector<std::string> steps;
        std::string file;
        std::size_t size;
    } cases[] = {
        {"an unfinished file at startup",
         [&] { Start(); },
         {"flush 2BE1C0D2.ob8.999999998.part 24", "place 2BE1C0D2.ob8.999999998.part 2BE1C0D2.ob8", "syncdir"},
         "2BE1C0D2.ob8",
         24},
        {"a station event",
         [&] {
             const std::uint8_t frame[] = {0x13, 0x22, 0x0A, 0x05};
             form->CommPortDriver1ReceivePacket(nullptr, frame, sizeof frame);
         },
         // Its own name is taken by the file finished at startup: the next one.
         {"flush 2BE1C0D2.ob8.PID.part 24", "place 2BE1C0D2.ob8.PID.part 2BE1C0D3.ob8", "syncdir"},
         "2BE1C0D3.ob8",
         24},
        {"a Z7 status record",
         [&] { form->SendZ7Record('H'); },
         {"flush 2BE1C0D2_3.obz.PID.part 555", "place 2BE1C0D2_3.obz.PID.part 2BE1C0D2_3.obz", "syncdir"},
         "2BE1C0D2_3.obz",
         555},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StepRecorder::Get().Watch(dir.path());
        c.action();
        EXPECT_EQ(StepRecorder::Get().Take(), c.steps);
        EXPECT_EQ(drvtest::ReadBytes(dir.file(c.file)).size(), c.size);
    }
    EXPECT_EQ(dir.read("2BE1C0D2.ob8"), leftover);
    EXPECT_EQ(dir.list(".part"), std::vector<std::string>{});
}
