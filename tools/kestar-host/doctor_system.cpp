#include "doctor_system.h"

#include "loaded_module.h"

#include "bench_arm_mark.h"
#include "host/module_source.h"
#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestar::tools {

#if defined(_WIN32)

std::string ModuleFileVersion(const std::string& path, const char* value) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return std::string();
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return std::string();
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    char key[96];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\040904B0\\%s", value);
    if (VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) &&
        length >= sizeof(Translation)) {
        std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translations[0].language,
                      translations[0].codePage, value);
    }
    char* text = nullptr;
    if (!VerQueryValueA(info.data(), key, reinterpret_cast<void**>(&text), &length) || text == nullptr) {
        return std::string();
    }
    return std::string(text, strnlen(text, length));
}

FileAccess ProbeExistingFile(const std::string& path, std::string& detail) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileAccess::kFolder;
    // The log's own open: write access, no sharing; OPEN_EXISTING so nothing is created.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return FileAccess::kWritable;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return FileAccess::kHeld;
    if (error == ERROR_ACCESS_DENIED) return FileAccess::kDenied;
    detail = "error " + std::to_string(error);
    return FileAccess::kOther;
}

bool ProbeCreateIn(const std::string& folder, std::string& detail) {
    const std::string path = folder + "\\kestar-doctor-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        detail = error == ERROR_ACCESS_DENIED ? "access denied" : "error " + std::to_string(error);
        return false;
    }
    CloseHandle(file);
    DeleteFileA(path.c_str());  // in case the system kept it
    return true;
}

std::string FileHolders(const std::string&) { return std::string(); }

Utf8Console::Utf8Console() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
    const UINT current = GetConsoleOutputCP();
    if (current == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    previous_ = current;
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) SetConsoleOutputCP(previous_);
}

std::string SystemText(const std::string& text) {
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) return text;
    const int size = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (wide <= 0) return text;
    std::wstring utf16(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, utf16.data(), wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return text;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

bool CanRead(const std::string& path, std::string& detail) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        detail = "error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(file);
    return true;
}

bool IsBenchArmSimulator(const std::string& path) {
    return ModuleFileVersion(path, "BenchArmSimulator") == KESTAR_BENCH_ARM_MARK;
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

// The system's list of every open handle (SystemExtendedHandleInformation).
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectNameInformation = 1;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr std::size_t kLargestHandleList = 64u << 20;

struct SystemHandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct SystemHandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// The object's name as the system gives it ("\??\Z:\dev\pts\3"); empty when it has none.
std::wstring ObjectName(QueryObject query, HANDLE handle) {
    alignas(8) unsigned char area[2048];
    ULONG length = 0;
    if (query(handle, kObjectNameInformation, area, sizeof area - sizeof(wchar_t), &length) != 0) return {};
    struct CountedText {
        USHORT length;
        USHORT maximumLength;
        const wchar_t* buffer;
    };
    CountedText text{};
    std::memcpy(&text, area, sizeof text);
    if (text.buffer == nullptr) return {};
    return std::wstring(text.buffer, text.length / sizeof(wchar_t));
}

std::string ProcessName(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::string name;
    for (BOOL more = Process32First(snapshot, &entry); more && name.empty(); more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) name = entry.szExeFile;
    }
    CloseHandle(snapshot);
    return name;
}

}  // namespace

// Every handle but ours whose object has the name of ours, found through the
// system's handle list. Only under Wine: there a name query is a call to the
// server and never waits, where Windows can block on a pipe's handle.
std::string ProcessesHolding(void* opened) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!UnderWine() || ntdll == nullptr) return {};
    const auto querySystem = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    const auto queryObject =
        reinterpret_cast<QueryObject>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryObject")));
    if (querySystem == nullptr || queryObject == nullptr) return {};
    const std::wstring name = ObjectName(queryObject, opened);
    if (name.empty()) return {};
    std::vector<ULONG_PTR> list(4096);
    LONG status = kInfoLengthMismatch;
    while (status == kInfoLengthMismatch && list.size() * sizeof(ULONG_PTR) <= kLargestHandleList) {
        ULONG needed = 0;
        status = querySystem(kSystemExtendedHandleInformation, list.data(),
                             static_cast<ULONG>(list.size() * sizeof(ULONG_PTR)), &needed);
        if (status == kInfoLengthMismatch) list.resize(list.size() * 2 + needed / sizeof(ULONG_PTR));
    }
    if (status != 0) return {};
    const auto* handles = reinterpret_cast<const SystemHandleList*>(list.data());
    const ULONG_PTR room = (list.size() * sizeof(ULONG_PTR) - offsetof(SystemHandleList, entries)) /
                           sizeof(SystemHandleEntry);
    const ULONG_PTR count = handles->count < room ? handles->count : room;
    const DWORD self = GetCurrentProcessId();
    int typeIndex = -1;  // the kind of object ours is: only handles of that kind are looked at
    for (ULONG_PTR i = 0; i < count; ++i) {
        const SystemHandleEntry& entry = handles->entries[i];
        if (entry.processId == self && entry.handle == reinterpret_cast<ULONG_PTR>(opened)) typeIndex = entry.typeIndex;
    }
    std::vector<DWORD> holders;
    for (ULONG_PTR i = 0; i < count && typeIndex >= 0; ++i) {
        const SystemHandleEntry& entry = handles->entries[i];
        const DWORD pid = static_cast<DWORD>(entry.processId);
        if (entry.typeIndex != typeIndex || (pid == self && entry.handle == reinterpret_cast<ULONG_PTR>(opened))) {
            continue;
        }
        if (std::find(holders.begin(), holders.end(), pid) != holders.end()) continue;
        const HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
        if (process == nullptr) continue;
        HANDLE copy = nullptr;
        if (DuplicateHandle(process, reinterpret_cast<HANDLE>(entry.handle), GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            if (ObjectName(queryObject, copy) == name) holders.push_back(pid);
            CloseHandle(copy);
        }
        CloseHandle(process);
    }
    std::string text;
    for (DWORD pid : holders) {
        const std::string process = ProcessName(pid);
        if (!text.empty()) text += ", ";
        text += std::to_string(pid) + (process.empty() ? "" : " (" + process + ")");
    }
    return text;
}

bool DeviceSurelyMissing(const std::string&) { return false; }

bool MachineRootPresent() { return true; }

std::string RegistryView() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return std::string();
    return "the 32-bit registry view (HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node), where the module reads";
}

std::string EffectiveUser() { return std::string(); }

char Separator() { return '\\'; }

#else

// A regular file of bounded size, read without following a last link.
std::string ReadModuleFile(const std::string& path) {
    constexpr off_t kLargestModule = 64 << 20;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::string();
    struct stat info {};
    std::string bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestModule) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    ::close(fd);
    return bytes;
}

// The module's own source text (host/module_source.h), found in the file.
std::string ModuleFileVersion(const std::string& path, const char* value) {
    const std::string bytes = ReadModuleFile(path);
    const std::size_t at = bytes.find(kModuleSourceMarker);
    if (at == std::string::npos) return std::string();
    const std::size_t start = at + sizeof kModuleSourceMarker - 1;
    const std::string text = bytes.substr(start, bytes.find('\0', start) - start);  // "1.0.0 (commit X)"
    const std::size_t commit = text.find(" (commit ");
    if (commit == std::string::npos || text.back() != ')') return std::string();
    if (std::strcmp(value, "SourceCommit") == 0) return text.substr(commit + 9, text.size() - commit - 10);
    return text.substr(0, commit);
}

FileAccess ProbeExistingFile(const std::string& path, std::string& detail) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return FileAccess::kFolder;
    // No O_CREAT, no O_TRUNC: the file is neither made nor emptied.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM || error == EROFS) return FileAccess::kDenied;
        detail = std::strerror(error);
        return FileAccess::kOther;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);  // closing releases the lock
    return locked ? FileAccess::kWritable : FileAccess::kHeld;
}

bool ProbeCreateIn(const std::string& folder, std::string& detail) {
    const std::string path = folder + "/.kestar-doctor-" + std::to_string(::getpid());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        detail = std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(path.c_str());
    return true;
}

std::string FileHolders(const std::string& path) {
    char resolved[4096];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::string();
    std::string holders;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holders;
    const pid_t self = ::getpid();
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self) continue;
        const std::string fdFolder = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdFolder.c_str());
        if (fds == nullptr) continue;
        bool holds = false;
        while (dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            char target[4096];
            const ssize_t n = ::readlink((fdFolder + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (std::strcmp(target, resolved) == 0) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds) continue;
        std::string name;
        if (FILE* comm = std::fopen((std::string("/proc/") + entry->d_name + "/comm").c_str(), "r")) {
            char text[64] = {};
            if (std::fgets(text, sizeof text, comm) != nullptr) name = text;
            std::fclose(comm);
            while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        }
        if (!holders.empty()) holders += ", ";
        holders += std::string(entry->d_name) + (name.empty() ? "" : " (" + name + ")");
    }
    ::closedir(proc);
    return holders;
}

std::string ProcessesHolding(void*) { return std::string(); }

Utf8Console::Utf8Console() {}
Utf8Console::~Utf8Console() {}

std::string SystemText(const std::string& text) { return text; }

bool CanRead(const std::string& path, std::string& detail) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        detail = std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

bool DeviceSurelyMissing(const std::string& device) {
    struct stat info {};
    return !device.empty() && ::stat(device.c_str(), &info) != 0 && errno == ENOENT;
}

bool MachineRootPresent() {
    const std::string store = platform::RegistryStoreFolder();
    struct stat info {};
    return !store.empty() && ::stat((store + "/hkey_local_machine").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string RegistryView() { return std::string(); }

bool IsBenchArmSimulator(const std::string& path) {
    return ReadModuleFile(path).find(KESTAR_BENCH_ARM_MARK) != std::string::npos;
}

bool UnderWine() { return false; }

std::string EffectiveUser() { return " (effective user " + std::to_string(::geteuid()) + ")"; }

char Separator() { return '/'; }

#endif

std::string HeldByAnotherProgram(const std::string& com, const std::string& device, const std::string& wineHolders) {
    if (!wineHolders.empty()) {
        return com + " is held by another program (open in " + SystemText(wineHolders) +
               "; Windows refuses the open, Wine itself would open it)";
    }
    const std::string holders = device.empty() ? std::string() : FileHolders(device);
    return com + " is held by another program" +
           (holders.empty() ? std::string() : " (open in " + SystemText(holders) + ")");
}

bool SameFileBytes(const std::string& a, const std::string& b) {
    constexpr long kLargest = 64L << 20;
    std::string bytes[2];
    const std::string* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        std::FILE* file = std::fopen(paths[i]->c_str(), "rb");
        if (file == nullptr) return false;
        char chunk[65536];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && bytes[i].size() <= kLargest) bytes[i].append(chunk, n);
        std::fclose(file);
    }
    return bytes[0].size() <= kLargest && bytes[0] == bytes[1];
}

std::string WholePath(const std::string& path) {
    if (path.empty()) return path;
#if defined(_WIN32)
    return ModulePathToLoad(path);  // already the system's full path name
#else
    char here[4096];
    if (path[0] == '/' || ::getcwd(here, sizeof here) == nullptr) return path;
    return std::string(here) + "/" + path.substr(path.rfind("./", 0) == 0 ? 2 : 0);
#endif
}

}  // namespace kestar::tools
