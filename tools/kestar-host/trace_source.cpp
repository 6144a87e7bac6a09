#include "trace_source.h"

#include "loaded_module.h"

#include "platform/files.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace kestar::tools {
namespace {

#if defined(_WIN32)

// The system's debug-output buffer: the sender's process id, then its text.
constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kDebugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C
// A process without the module is looked at again after this long: it may load it later.
constexpr auto kRecheckAfter = std::chrono::seconds(1);

// Whether process pid has the module loaded now; true too when its modules cannot
// be listed (a line is never left out on a guess: under an emulator, for one, the
// list of another process is not to be had).
bool HasModule(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
    if (snapshot == INVALID_HANDLE_VALUE) return true;
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    BOOL more = Module32First(snapshot, &entry);
    bool found = more == FALSE;  // no module listed at all: nothing to judge by
    for (; more && !found; more = Module32Next(snapshot, &entry)) {
        found = lstrcmpiA(entry.szModule, ModuleFileName()) == 0;
    }
    CloseHandle(snapshot);
    return found;
}

class SystemBuffer : public TraceSource {
public:
    explicit SystemBuffer(bool judge) : judge_(judge) {}
    ~SystemBuffer() override {
        if (view_ != nullptr) UnmapViewOfFile(view_);
        for (HANDLE handle : {mapping_, dataReady_, bufferReady_}) {
            if (handle != nullptr) CloseHandle(handle);
        }
    }
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;

    // False with error set when another viewer has the buffer or it cannot be made.
    bool Open(TraceSourceError& error) {
        const char* held = nullptr;
        bufferReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
        if (bufferReady_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) held = "DBWIN_BUFFER_READY";
        dataReady_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
        if (dataReady_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) held = "DBWIN_DATA_READY";
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferBytes, "DBWIN_BUFFER");
        if (mapping_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) held = "DBWIN_BUFFER";
        if (held != nullptr) {
            error.found = std::string("another debug-output viewer holds the system's debug-output buffer (") + held +
                          " is there already)";
            error.todo = "close that viewer (DebugView, a debugger, another kestar-host trace) and run kestar-host "
                         "trace again";
            return false;
        }
        if (bufferReady_ == nullptr || dataReady_ == nullptr || mapping_ == nullptr ||
            (view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kBufferBytes))) ==
                nullptr) {
            error.found = "the system's debug-output buffer cannot be made (error " + std::to_string(GetLastError()) +
                          ")";
            error.todo = "run kestar-host trace as the user who runs the host";
            return false;
        }
        SetEvent(bufferReady_);  // senders may write now
        return true;
    }

    void Take(int waitMs, std::vector<TracePiece>& pieces) override {
        if (WaitForSingleObject(dataReady_, static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) return;
        TracePiece piece;
        DWORD pid = 0;
        std::memcpy(&pid, view_, sizeof pid);
        piece.pid = pid;
        piece.text.assign(view_ + sizeof pid, strnlen(view_ + sizeof pid, kBufferBytes - sizeof pid));
        // Judged before the buffer is given back: the sender's next line waits for it,
        // so a process that sends more than one line is still there with its module.
        piece.module = !judge_ || Judge(pid);
        SetEvent(bufferReady_);
        pieces.push_back(std::move(piece));
    }

private:
    bool Judge(DWORD pid) {
        const auto now = std::chrono::steady_clock::now();
        auto known = judged_.find(pid);
        if (known != judged_.end() && (known->second.module || now - known->second.when < kRecheckAfter)) {
            return known->second.module;
        }
        const bool module = HasModule(pid);
        judged_[pid] = Judged{module, now};
        return module;
    }

    struct Judged {
        bool module;
        std::chrono::steady_clock::time_point when;
    };
    bool judge_;
    std::map<DWORD, Judged> judged_;
    HANDLE bufferReady_ = nullptr;
    HANDLE dataReady_ = nullptr;
    HANDLE mapping_ = nullptr;
    const char* view_ = nullptr;
};

// The texts this process sends, as its vectored handler sees them. One handler for
// the process: the exception carries no context to tell two captures apart.
std::mutex sessionMutex;
std::vector<TracePiece>* sessionPieces = nullptr;

LONG CALLBACK OnDebugPrint(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode != kDebugPrintException || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    const std::size_t size = record->ExceptionInformation[0];  // with its terminator
    const std::lock_guard<std::mutex> lock(sessionMutex);
    if (sessionPieces != nullptr && text != nullptr) {
        sessionPieces->push_back(TracePiece{GetCurrentProcessId(), true, std::string(text, strnlen(text, size))});
    }
    return EXCEPTION_CONTINUE_SEARCH;  // OutputDebugStringA goes on to any viewer
}

class SessionCapture : public TraceSource {
public:
    SessionCapture() {
        const std::lock_guard<std::mutex> lock(sessionMutex);
        sessionPieces = &pending_;
        handler_ = AddVectoredExceptionHandler(1, OnDebugPrint);
    }
    ~SessionCapture() override {
        if (handler_ != nullptr) RemoveVectoredExceptionHandler(handler_);
        const std::lock_guard<std::mutex> lock(sessionMutex);
        sessionPieces = nullptr;
    }
    SessionCapture(const SessionCapture&) = delete;
    SessionCapture& operator=(const SessionCapture&) = delete;
    bool installed() const { return handler_ != nullptr; }

    void Take(int waitMs, std::vector<TracePiece>& pieces) override {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            {
                const std::lock_guard<std::mutex> lock(sessionMutex);
                if (!pending_.empty()) {
                    for (TracePiece& piece : pending_) pieces.push_back(std::move(piece));
                    pending_.clear();
                    return;
                }
            }
            if (std::chrono::steady_clock::now() >= until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    std::vector<TracePiece> pending_;
    PVOID handler_ = nullptr;
};

#else

// The trace file followed as it grows; a file that shrank was begun again, and is
// read from its start.
class FileFollower : public TraceSource {
public:
    // pid: the process the file's lines are told as coming from (0: not known).
    FileFollower(std::string path, bool fromEnd, unsigned long pid = 0)
        : path_(std::move(path)), fromEnd_(fromEnd), pid_(pid) {}
    ~FileFollower() override { Close(); }
    FileFollower(const FileFollower&) = delete;
    FileFollower& operator=(const FileFollower&) = delete;

    const std::string& path() const { return path_; }

    // False with error set when something that is not a regular file is there.
    bool Open(TraceSourceError& error) {
        if (Reopen()) return true;
        if (platform::Files().GetFileAttributes(path_.c_str()) == platform::kInvalidFileAttributes) {
            fromEnd_ = false;  // not made yet (the module makes it when the host loads it): read it whole
            return true;
        }
        error.found = "'" + path_ + "' is not a regular file (a link, folder, FIFO or device): the module writes "
                      "no trace there";
        error.todo = "set KESTAR_TRACE in the host's environment to the path of a plain file, and start the host again";
        return false;
    }

    void Take(int waitMs, std::vector<TracePiece>& pieces) override {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            if (ReadNew(pieces) || std::chrono::steady_clock::now() >= until) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    bool Reopen() {
        Close();
        file_ = platform::Files().OpenForReading(path_.c_str());
        if (file_ == platform::kInvalidFile) return false;
        platform::FileInfo info{};
        if (!platform::Files().GetFileInfo(file_, &info) || !info.regular) {
            Close();
            return false;
        }
        offset_ = 0;
        if (fromEnd_ && platform::Files().SeekToEnd(file_)) offset_ = info.size;
        fromEnd_ = false;  // a file made or begun again later is read whole
        return true;
    }

    void Close() {
        if (file_ != platform::kInvalidFile) platform::Files().Close(file_);
        file_ = platform::kInvalidFile;
    }

    bool ReadNew(std::vector<TracePiece>& pieces) {
        platform::FileInfo info{};
        if (file_ == platform::kInvalidFile || !platform::Files().GetFileInfo(file_, &info) || info.size < offset_) {
            if (!Reopen()) return false;
        }
        std::string text;
        char buffer[4096];
        std::uint32_t got = 0;
        while (platform::Files().Read(file_, buffer, sizeof buffer, &got) && got > 0) {
            text.append(buffer, got);
            offset_ += got;
        }
        if (text.empty()) return false;
        pieces.push_back(TracePiece{pid_, true, std::move(text)});
        return true;
    }

    std::string path_;
    bool fromEnd_;
    unsigned long pid_;
    platform::FileHandle file_ = platform::kInvalidFile;
    std::uint64_t offset_ = 0;
};

// The session's own file, when the trace had none: removed again, and the
// environment given back, when the session ends.
class SessionFile : public FileFollower {
public:
    SessionFile(const std::string& path, std::string previous)
        : FileFollower(path, false, static_cast<unsigned long>(getpid())), previous_(std::move(previous)) {}
    ~SessionFile() override {
        unlink(path().c_str());
        if (previous_.empty()) {
            unsetenv("KESTAR_TRACE");
        } else {
            setenv("KESTAR_TRACE", previous_.c_str(), 1);
        }
    }
    SessionFile(const SessionFile&) = delete;
    SessionFile& operator=(const SessionFile&) = delete;

private:
    std::string previous_;  // "stderr", or empty when it was not set
};

#endif

}  // namespace

std::unique_ptr<TraceSource> OpenSystemTrace(const std::string& path, bool judge, TraceSourceError& error) {
#if defined(_WIN32)
    (void)path;
    auto buffer = std::make_unique<SystemBuffer>(judge);
    if (!buffer->Open(error)) return nullptr;
    return buffer;
#else
    (void)judge;
    const char* named = std::getenv("KESTAR_TRACE");
    const std::string file = !path.empty() ? path : named != nullptr ? named : "";
    if (file.empty() || file == "stderr") {
        error.found = file.empty() ? "KESTAR_TRACE is not set here: the module writes its trace only where it names"
                                   : "KESTAR_TRACE is \"stderr\": the module writes its trace to the host's own "
                                     "standard error";
        error.todo = "start the host with KESTAR_TRACE=/path/to/kestar-trace.txt in its environment, then run "
                     "KESTAR_TRACE=/path/to/kestar-trace.txt kestar-host trace (or kestar-host trace --file PATH)";
        return nullptr;
    }
    auto follower = std::make_unique<FileFollower>(file, true);
    if (!follower->Open(error)) return nullptr;
    return follower;
#endif
}

std::unique_ptr<TraceSource> OpenSessionTrace(TraceSourceError& error) {
#if defined(_WIN32)
    auto capture = std::make_unique<SessionCapture>();
    if (capture->installed()) return capture;
    error.found = "the debug output of this process cannot be watched (error " + std::to_string(GetLastError()) + ")";
    error.todo = "run kestar-host trace beside it instead";
    return nullptr;
#else
    const char* named = std::getenv("KESTAR_TRACE");
    if (named != nullptr && *named != '\0' && std::strcmp(named, "stderr") != 0) {
        auto follower = std::make_unique<FileFollower>(named, true, static_cast<unsigned long>(getpid()));
        if (!follower->Open(error)) return nullptr;
        return follower;
    }
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/kestar-host-trace-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        error.found = "no file for the session's trace can be made in " + path.substr(0, path.rfind('/'));
        error.todo = "set TMPDIR to a folder this user may write";
        return nullptr;
    }
    close(fd);
    auto file = std::make_unique<SessionFile>(path, named != nullptr ? named : "");
    setenv("KESTAR_TRACE", path.c_str(), 1);
    if (!file->Open(error)) return nullptr;
    return file;
#endif
}

}  // namespace kestar::tools
