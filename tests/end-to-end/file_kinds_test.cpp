// Hostile things at the log's and the settings file's paths: whole start-ups and
// shut-downs against one table of file kinds. Start-up returns at once, nothing at
// the path or behind it is emptied, written or read, and the module carries on as
// it does with a file it cannot open. A huge regular log is simply emptied; a huge
// settings file is not read.
//
// Linux makes every kind. A Windows program can make a folder and a huge file, and
// symbolic links where the system lets it (Windows with the right to); where it
// makes none (Wine 8), the file calls are shown a reparse point at the path, as
// Windows shows a link or junction. No FIFO or device node in a folder at all.
#include "fakes/fake_arm.h"
#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#if defined(_WIN32)
#include "platform/win32/win32_file_calls.h"

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

constexpr std::uint64_t kHugeBytes = 1ull << 30;  // sparse where the file system allows

// Ends the test program when a start-up hangs, so that the suite never waits for ever.
class Watchdog {
public:
    explicit Watchdog(const std::string& what) : what_(what), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; })) {
            std::fprintf(stderr, "hung for 60 s: %s\n", what_.c_str());
            std::_Exit(3);
        }
    }
    std::string what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

enum class Kind { kLink, kDanglingLink, kFifo, kDevice, kLinkToDevice, kDirectory, kHuge };

struct KindCase {
    Kind kind;
    const char* name;
};

constexpr KindCase kKinds[] = {
    {Kind::kLink, "link to another file"}, {Kind::kDanglingLink, "dangling link"},
    {Kind::kFifo, "FIFO"},                 {Kind::kDevice, "device node"},
    {Kind::kLinkToDevice, "link to a device"}, {Kind::kDirectory, "directory"},
    {Kind::kHuge, "huge file"},
};

#if defined(_WIN32)
std::string reparseAt;  // the path the file calls are shown as a reparse point

BOOL WINAPI InformationWithReparse(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    if (!GetFileInformationByHandle(file, info)) return FALSE;
    char name[MAX_PATH + 8] = {};
    const DWORD n = GetFinalPathNameByHandleA(file, name, sizeof name, FILE_NAME_NORMALIZED);
    const std::string path(name, n < sizeof name ? n : 0);
    if (!reparseAt.empty() && path.size() >= reparseAt.size() &&
        _stricmp(path.c_str() + path.size() - reparseAt.size(), reparseAt.c_str()) == 0) {
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return TRUE;
}
#endif

bool MakeHuge(const std::string& path, const std::string& start) {
#if defined(_WIN32)
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    LARGE_INTEGER size;
    size.QuadPart = static_cast<LONGLONG>(kHugeBytes);
    const bool ok = WriteFile(file, start.data(), static_cast<DWORD>(start.size()), &written, nullptr) &&
                    SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
#else
    return WriteFileBytes(path, start) && truncate(path.c_str(), static_cast<off_t>(kHugeBytes)) == 0;
#endif
}

// Makes path into kind (target: what a link points at; start: the first bytes of a
// huge file). Empty when made, else why this platform cannot make it.
std::string Make(Kind kind, const std::string& path, const std::string& target, const std::string& start) {
#if defined(_WIN32)
    switch (kind) {
        case Kind::kLink:
        case Kind::kDanglingLink: {
            // Wine 8 answers success and makes nothing (and shows a link made on the
            // Linux side as the file it points at): only a link the system shows as a
            // reparse point is one. Elsewhere the file calls are shown one.
            const bool made = CreateSymbolicLinkA(path.c_str(), target.c_str(), 0) != FALSE;
            const DWORD attributes = GetFileAttributesA(path.c_str());
            if (made && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                return std::string();
            }
            reparseAt = path;
            return WriteFileBytes(path, kind == Kind::kLink ? start : "") ? std::string() : "cannot make the file";
        }
        case Kind::kDirectory:
            return CreateDirectoryA(path.c_str(), nullptr) ? std::string() : "cannot make the folder";
        case Kind::kHuge:
            return MakeHuge(path, start) ? std::string() : "cannot make the huge file";
        default:
            return "a Windows program cannot make a FIFO or device node in a folder";
    }
#else
    switch (kind) {
        case Kind::kLink:
        case Kind::kDanglingLink:
            return symlink(target.c_str(), path.c_str()) == 0 ? std::string() : "symlink failed";
        case Kind::kFifo:
            return mkfifo(path.c_str(), 0666) == 0 ? std::string() : "mkfifo failed";
        case Kind::kDevice:  // the same device as /dev/zero, which reads for ever
            return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0
                       ? std::string()
                       : "mknod needs the right to make device nodes";
        case Kind::kLinkToDevice:
            return symlink("/dev/zero", path.c_str()) == 0 ? std::string() : "symlink failed";
        case Kind::kDirectory:
            return mkdir(path.c_str(), 0777) == 0 ? std::string() : "mkdir failed";
        case Kind::kHuge:
            return MakeHuge(path, start) ? std::string() : "cannot make the huge file";
    }
    return "unknown kind";
#endif
}

bool StillFifo(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return true;
#else
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return false;
    // Nothing was written into it: a reader opened now finds it empty.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    char byte;
    const bool empty = fd >= 0 && read(fd, &byte, 1) <= 0;
    if (fd >= 0) close(fd);
    return empty;
#endif
}

std::uint64_t FileSize(const std::string& path) {
#if defined(_WIN32)
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
#else
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
#endif
}

std::string Settings() {
    std::string text = "[Parameters]\r\nCreateLogFile=1\r\n";
    for (int n = 1; n <= 6; ++n) text += "PORT" + std::to_string(n) + "=Spare -1\r\n";
    return text;
}

enum class Target { kLog, kSettings };

class FileKinds : public ::testing::Test {
protected:
    ScratchRegistry registry;
    ScopedFakeArm arm;
    HostRecords records;
#if defined(_WIN32)
    platform::ScopedWin32FileCalls reparse{platform::Win32FileCalls{InformationWithReparse}};
    void TearDown() override { reparseAt.clear(); }
#endif

    void RunTable(Target target) {
        const std::string victimText = target == Target::kLog ? std::string("precious lines\r\n") : Settings();
        for (const KindCase& c : kKinds) {
            SCOPED_TRACE(c.name);
            ScratchFolder install;
            ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
            ASSERT_TRUE(WriteAppPath(install.path()));
            const std::string logPath = install.Join("tolvo/TolvoInterface.log");
            const std::string settingsPath = install.Join("tolvo/vodrane.ini");
            const std::string path = target == Target::kLog ? logPath : settingsPath;
            const std::string victim = install.Join("victim.txt");
            ASSERT_TRUE(WriteFileBytes(victim, victimText));
            if (target == Target::kLog) ASSERT_TRUE(WriteFileBytes(settingsPath, Settings()));
            const std::string linkTarget = c.kind == Kind::kDanglingLink ? install.Join("nothing.txt") : victim;
            const std::string skip = Make(c.kind, path, linkTarget, victimText);
            if (!skip.empty()) {
                std::printf("[  SKIPPED ] %s at the %s: %s\n", c.name, target == Target::kLog ? "log" : "settings file",
                            skip.c_str());
                continue;
            }
            ScopedTraceCapture trace;
            int started = -1;
            {
                Watchdog watchdog(std::string("start-up and shut-down with a ") + c.name);
                started = InitializeCommunications(&records.block(), 0, nullptr);
                EXPECT_EQ(TerminateCommunications(), 1);
            }
            EXPECT_EQ(ReadFileBytes(victim), victimText) << "the file behind a link is untouched";
            if (c.kind == Kind::kLink) EXPECT_EQ(ReadFileBytes(path), victimText) << "nothing is emptied through a link";
            EXPECT_FALSE(FileExists(install.Join("nothing.txt"))) << "a dangling link's target is never made";
            if (c.kind == Kind::kFifo) EXPECT_TRUE(StillFifo(path));
            if (target == Target::kLog) {
                EXPECT_EQ(started, 1) << "start-up goes on without its log";
                if (c.kind == Kind::kHuge) {
                    EXPECT_LT(FileSize(path), 4096u) << "a huge regular log is emptied";
                    EXPECT_NE(ReadFileBytes(path).find("Ending Interface DLL"), std::string::npos);
                } else {
                    EXPECT_NE(trace.text().find("Interface log: cannot open"), std::string::npos) << trace.text();
                }
            } else {
                EXPECT_EQ(started, 0) << "no key is read from it";
                const std::string log = ReadFileBytes(logPath);
                EXPECT_NE(log.find("Cannot find 'PORT1' in '" + settingsPath + "'"), std::string::npos) << log;
                EXPECT_EQ(log.find("CreateLogFile = "), std::string::npos);
                // A dangling link reads as a missing file, which no trace line reports.
                if (c.kind != Kind::kDanglingLink) {
                    EXPECT_NE(trace.text().find("not read"), std::string::npos) << trace.text();
                }
            }
        }
    }
};

TEST_F(FileKinds, AtTheLogPathNothingIsEmptiedWrittenOrWaitedFor) { RunTable(Target::kLog); }

TEST_F(FileKinds, AtTheSettingsPathNothingIsReadOrWaitedFor) { RunTable(Target::kSettings); }

#if defined(_WIN32)
// A junction at "tolvo" to a folder elsewhere, as the file calls see it: the folder
// is refused as a linked file is, and nothing in it is read, emptied or written.
TEST_F(FileKinds, AJunctionAtTheLogFolderIsRefused) {
    ScratchFolder install;
    ASSERT_TRUE(MakeFolder(install.Join("tolvo")));
    ASSERT_TRUE(WriteAppPath(install.path()));
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), Settings()));
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/TolvoInterface.log"), "precious lines\r\n"));
    reparseAt = install.Join("tolvo");
    ScopedTraceCapture trace;
    EXPECT_EQ(InitializeCommunications(&records.block(), 0, nullptr), 0) << "no key is read from it";
    EXPECT_EQ(TerminateCommunications(), 1);
    EXPECT_EQ(ReadFileBytes(install.Join("tolvo/TolvoInterface.log")), "precious lines\r\n");
    EXPECT_NE(trace.text().find("Interface log: cannot open"), std::string::npos) << trace.text();
}
#endif

}  // namespace
}  // namespace kestar::testing
