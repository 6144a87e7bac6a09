#include "sweep/seam_sweep.h"

#include "fakes/fake_arm.h"
#include "fakes/fake_uart.h"
#include "platform/arm_library.h"
#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/serial.h"
#include "platform/system.h"
#include "platform/worker_thread.h"
#include "serial/port.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
// The seam's tables name their entries after the calls; the header's A/W macros
// would rename them here.
#undef GetFileAttributes
#undef GetPrivateProfileString
#else
#include "platform/posix/posix_calls.h"

#include <cerrno>
#include <dirent.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

// --- counting and deciding -------------------------------------------------------

struct SweepState {
    SweepMode mode = SweepMode::kCount;
    std::uint32_t target = 0;      // k, 1-based among failable calls
    std::uint32_t outside = 0;     // calls through the seam since Arm
    std::uint32_t failable = 0;    // of them, failable
    std::uint32_t callLimit = 0;   // past it the run counts as hung
    const void* failedKind = nullptr;  // the call failed at k: later calls of it fail too (from k on)
    int failedVariant = 0;
    std::string failedName;
    bool armed = false;
    std::string trace;
    std::map<std::string, std::uint32_t> counted;  // failable calls of the counting run, by name
    std::uint32_t tick = 0;        // the tick count the module reads
    // Left open or allocated through the seam.
    std::set<platform::RegHandle> keys;
    std::set<platform::FileHandle> files;
    std::set<platform::TokenHandle> tokens;
    std::set<void*> sids;
    std::set<void*> blocks;
};
SweepState state;

// The scenario runs on the thread that made the seam; a worker thread the module
// starts (the callback pump) keeps its own time, and its calls are neither counted
// nor failed, so that call k is the same call in every run.
std::thread::id sweepThread;
bool OnSweepThread() { return std::this_thread::get_id() == sweepThread; }

void CountCall() {
    ++state.outside;
    if (state.callLimit != 0 && state.outside > state.callLimit) {
        std::fprintf(stderr, "fault sweep: more than %u outside calls after failing %s: the run does not end\n",
                     state.callLimit, state.failedName.c_str());
        std::abort();
    }
}

// 0: call the system; n > 0: fail with the n-th error of the call.
int Decide(const void* kind, const char* name, const char* const* errors, int variants) {
    if (!OnSweepThread()) return 0;
    CountCall();
    if (!state.armed || variants == 0) return 0;
    ++state.failable;
    if (state.mode == SweepMode::kCount) {
        ++state.counted[name];
        return 0;
    }
    if (state.failable == state.target) {
        state.failedKind = kind;
        state.failedVariant = static_cast<int>(state.target % static_cast<std::uint32_t>(variants)) + 1;
        state.failedName = std::string(name) + " (" + errors[state.failedVariant - 1] + ")";
        return state.failedVariant;
    }
    if (state.mode == SweepMode::kFailFrom && state.failedKind == kind) return state.failedVariant;
    return 0;
}

// One table entry wrapped: counted, and failed in one of the ways listed for it.
template <auto Member>
struct Hook;

template <typename Ops, typename R, typename... A, R (*Ops::*Member)(A...)>
struct Hook<Member> {
    using Fn = R (*)(A...);
    static inline Fn original = nullptr;
    static inline const char* name = "";
    static inline std::vector<Fn> failures;
    static inline std::vector<const char*> errors;

    static R Call(A... a) {
        const int variant = Decide(&name, name, errors.data(), static_cast<int>(failures.size()));
        if (variant == 0) return original(a...);
        return failures[static_cast<std::size_t>(variant - 1)](a...);
    }
    static void Install(Ops& ops, const char* callName, std::vector<std::pair<const char*, Fn>> ways = {}) {
        original = ops.*Member;
        name = callName;
        failures.clear();
        errors.clear();
        for (const auto& [error, fail] : ways) {
            errors.push_back(error);
            failures.push_back(fail);
        }
        ops.*Member = Call;
    }
};

// --- serial (over the simulated UART) ----------------------------------------------

using platform::Bool;
using platform::Handle;
using platform::SerialOps;

Bool SerialFail(std::uint32_t error) {
    if (FakeUart* uart = FakeUart::Current()) uart->lastError = error;
    return 0;
}
template <std::uint32_t Error, typename... A>
Bool FailWith(A...) {
    return SerialFail(Error);
}
template <std::uint32_t Error>
Handle OpenFails(const char*, std::uint32_t, std::uint32_t, void*, std::uint32_t, std::uint32_t, Handle) {
    SerialFail(Error);
    return platform::InvalidHandleValue();
}
Handle NoEvent(void*, Bool, Bool, const char*) {
    SerialFail(1450);  // ERROR_NO_SYSTEM_RESOURCES
    return nullptr;
}
// The device stops taking bytes (flow control held, say): this write and every later
// one stays pending and never completes.
Bool WriteNeverCompletes(Handle device, const void* buffer, std::uint32_t length, std::uint32_t* written,
                         platform::Overlapped* overlapped) {
    if (FakeUart* uart = FakeUart::Current()) {
        for (int com = 1; com <= 255; ++com) {
            FakeComDevice* d = uart->Find(com);
            if (d != nullptr && static_cast<Handle>(d) == device) d->writesPend = d->writesNeverComplete = true;
        }
    }
    return Hook<&SerialOps::WriteFile>::original(device, buffer, length, written, overlapped);
}

constexpr std::uint32_t kGenFailure = platform::kErrorGenFailure;

void HookSerial(SerialOps& ops) {
    Hook<&SerialOps::CreateFileA>::Install(ops, "CreateFileA",
                                           {{"not found", OpenFails<platform::kErrorFileNotFound>},
                                            {"access denied", OpenFails<platform::kErrorAccessDenied>},
                                            {"sharing violation", OpenFails<32>}});
    Hook<&SerialOps::SetupComm>::Install(ops, "SetupComm",
                                         {{"failure", FailWith<kGenFailure, Handle, std::uint32_t, std::uint32_t>}});
    Hook<&SerialOps::GetCommState>::Install(ops, "GetCommState",
                                            {{"failure", FailWith<kGenFailure, Handle, platform::Dcb*>}});
    Hook<&SerialOps::SetCommState>::Install(
        ops, "SetCommState",
        {{"invalid parameter", FailWith<platform::kErrorInvalidParameter, Handle, platform::Dcb*>}});
    Hook<&SerialOps::GetCommTimeouts>::Install(ops, "GetCommTimeouts",
                                               {{"failure", FailWith<kGenFailure, Handle, platform::CommTimeouts*>}});
    Hook<&SerialOps::SetCommTimeouts>::Install(ops, "SetCommTimeouts",
                                               {{"failure", FailWith<kGenFailure, Handle, platform::CommTimeouts*>}});
    Hook<&SerialOps::GetCommMask>::Install(ops, "GetCommMask",
                                           {{"failure", FailWith<kGenFailure, Handle, std::uint32_t*>}});
    Hook<&SerialOps::SetCommMask>::Install(ops, "SetCommMask",
                                           {{"failure", FailWith<kGenFailure, Handle, std::uint32_t>}});
    Hook<&SerialOps::ClearCommError>::Install(
        ops, "ClearCommError", {{"failure", FailWith<kGenFailure, Handle, std::uint32_t*, platform::ComStat*>}});
    Hook<&SerialOps::ReadFile>::Install(
        ops, "ReadFile",
        {{"failure", FailWith<kGenFailure, Handle, void*, std::uint32_t, std::uint32_t*, platform::Overlapped*>}});
    Hook<&SerialOps::WriteFile>::Install(
        ops, "WriteFile",
        {{"failure", FailWith<kGenFailure, Handle, const void*, std::uint32_t, std::uint32_t*, platform::Overlapped*>},
         {"pending, never completes", WriteNeverCompletes}});
    // A failed GetOverlappedResult means a transfer that ended in failure; the
    // system's record is then free, which only the device can make so. It is counted.
    Hook<&SerialOps::GetOverlappedResult>::Install(ops, "GetOverlappedResult");
    Hook<&SerialOps::PurgeComm>::Install(
        ops, "PurgeComm",
        {{"invalid parameter", FailWith<platform::kErrorInvalidParameter, Handle, std::uint32_t>}});
    Hook<&SerialOps::EscapeCommFunction>::Install(
        ops, "EscapeCommFunction", {{"not supported", FailWith<platform::kErrorNotSupported, Handle, std::uint32_t>}});
    Hook<&SerialOps::SetCommBreak>::Install(ops, "SetCommBreak", {{"failure", FailWith<kGenFailure, Handle>}});
    Hook<&SerialOps::ClearCommBreak>::Install(ops, "ClearCommBreak", {{"failure", FailWith<kGenFailure, Handle>}});
    Hook<&SerialOps::GetCommModemStatus>::Install(
        ops, "GetCommModemStatus", {{"not supported", FailWith<platform::kErrorNotSupported, Handle, std::uint32_t*>}});
    Hook<&SerialOps::PeekNamedPipe>::Install(
        ops, "PeekNamedPipe",
        {{"failure", FailWith<1, Handle, void*, std::uint32_t, std::uint32_t*, std::uint32_t*, std::uint32_t*>}});
    Hook<&SerialOps::CloseHandle>::Install(ops, "CloseHandle");
    Hook<&SerialOps::GetLastError>::Install(ops, "GetLastError");
    Hook<&SerialOps::CreateEventA>::Install(ops, "CreateEventA", {{"no system resources", NoEvent}});
    Hook<&SerialOps::CancelIo>::Install(ops, "CancelIo", {{"failure", FailWith<kGenFailure, Handle>}});
}

// --- registry --------------------------------------------------------------------

using platform::RegHandle;
using platform::RegistryOps;

template <long Status>
long KeyFails(RegHandle, const char*, std::uint32_t, std::uint32_t, RegHandle* result) {
    if (result) *result = 0;
    return Status;
}
template <long Status>
long SubKeyFails(RegHandle, const char*, RegHandle* result) {
    if (result) *result = 0;
    return Status;
}
template <long Status>
long CreateFails(RegHandle, const char*, std::uint32_t, std::uint32_t, RegHandle* result, std::uint32_t*) {
    if (result) *result = 0;
    return Status;
}
template <long Status>
long QueryFails(RegHandle, const char*, std::uint32_t*, unsigned char*, std::uint32_t*) {
    return Status;
}
template <long Status>
long SetFails(RegHandle, const char*, std::uint32_t, const unsigned char*, std::uint32_t) {
    return Status;
}
template <long Status>
long DeleteFails(RegHandle, const char*) {
    return Status;
}

bool IsRoot(RegHandle key) { return key >= platform::kHkeyClassesRoot && key <= platform::kHkeyUsers; }
long Opened(long status, RegHandle* result) {
    if (status == platform::kRegSuccess && result != nullptr && !IsRoot(*result)) state.keys.insert(*result);
    return status;
}

long TrackOpenKeyEx(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access, RegHandle* result) {
    return Opened(Hook<&RegistryOps::OpenKeyEx>::Call(root, path, options, access, result), result);
}
long TrackOpenKey(RegHandle parent, const char* subKey, RegHandle* result) {
    return Opened(Hook<&RegistryOps::OpenKey>::Call(parent, subKey, result), result);
}
long TrackCreateKeyEx(RegHandle root, const char* path, std::uint32_t options, std::uint32_t access,
                      RegHandle* result, std::uint32_t* disposition) {
    return Opened(Hook<&RegistryOps::CreateKeyEx>::Call(root, path, options, access, result, disposition), result);
}
long TrackCreateKey(RegHandle parent, const char* path, RegHandle* result) {
    return Opened(Hook<&RegistryOps::CreateKey>::Call(parent, path, result), result);
}
long TrackCloseKey(RegHandle key) {
    state.keys.erase(key);
    return Hook<&RegistryOps::CloseKey>::Call(key);
}

void HookRegistry(RegistryOps& ops) {
    using platform::kRegAccessDenied;
    using platform::kRegFileNotFound;
    Hook<&RegistryOps::OpenKeyEx>::Install(
        ops, "RegOpenKeyExA",
        {{"access denied", KeyFails<kRegAccessDenied>}, {"not found", KeyFails<kRegFileNotFound>}});
    Hook<&RegistryOps::OpenKey>::Install(
        ops, "RegOpenKeyA",
        {{"access denied", SubKeyFails<kRegAccessDenied>}, {"not found", SubKeyFails<kRegFileNotFound>}});
    Hook<&RegistryOps::CreateKeyEx>::Install(
        ops, "RegCreateKeyExA",
        {{"access denied", CreateFails<kRegAccessDenied>}, {"not found", CreateFails<kRegFileNotFound>}});
    Hook<&RegistryOps::CreateKey>::Install(
        ops, "RegCreateKeyA",
        {{"access denied", SubKeyFails<kRegAccessDenied>}, {"not found", SubKeyFails<kRegFileNotFound>}});
    Hook<&RegistryOps::CloseKey>::Install(ops, "RegCloseKey");
    Hook<&RegistryOps::DeleteKey>::Install(
        ops, "RegDeleteKeyA",
        {{"access denied", DeleteFails<kRegAccessDenied>}, {"not found", DeleteFails<kRegFileNotFound>}});
    Hook<&RegistryOps::QueryValueEx>::Install(
        ops, "RegQueryValueExA",
        {{"access denied", QueryFails<kRegAccessDenied>}, {"not found", QueryFails<kRegFileNotFound>}});
    Hook<&RegistryOps::SetValueEx>::Install(
        ops, "RegSetValueExA",
        {{"access denied", SetFails<kRegAccessDenied>}, {"not found", SetFails<kRegFileNotFound>}});
    ops.OpenKeyEx = TrackOpenKeyEx;
    ops.OpenKey = TrackOpenKey;
    ops.CreateKeyEx = TrackCreateKeyEx;
    ops.CreateKey = TrackCreateKey;
    ops.CloseKey = TrackCloseKey;
}

// --- files and the profile reader ------------------------------------------------------

using platform::FileHandle;
using platform::FileOps;

FileHandle FileOpenFails(const char*, bool) { return platform::kInvalidFile; }
bool SeekFails(FileHandle) { return false; }
bool WriteFails(FileHandle, const void*, std::uint32_t, std::uint32_t* written) {
    if (written) *written = 0;
    return false;
}
// The disk fills: half of the bytes reach the file.
bool ShortWrite(FileHandle file, const void* data, std::uint32_t size, std::uint32_t* written) {
    std::uint32_t half = 0;
    Hook<&FileOps::Write>::original(file, data, size / 2, &half);
    if (written) *written = half;
    return false;
}
std::uint32_t NoAttributes(const char*) { return platform::kInvalidFileAttributes; }
FileHandle ReadOpenFails(const char*) { return platform::kInvalidFile; }
bool InfoFails(FileHandle, platform::FileInfo*) { return false; }
bool ReadFails(FileHandle, void*, std::uint32_t, std::uint32_t* read) {
    if (read) *read = 0;
    return false;
}

FileHandle TrackOpenExclusive(const char* path, bool truncate) {
    const FileHandle file = Hook<&FileOps::OpenExclusive>::Call(path, truncate);
    if (file != platform::kInvalidFile) state.files.insert(file);
    return file;
}
FileHandle TrackOpenForReading(const char* path) {
    const FileHandle file = Hook<&FileOps::OpenForReading>::Call(path);
    if (file != platform::kInvalidFile) state.files.insert(file);
    return file;
}
bool TrackClose(FileHandle file) {
    state.files.erase(file);
    return Hook<&FileOps::Close>::Call(file);
}

void HookFiles(FileOps& ops) {
    Hook<&FileOps::OpenExclusive>::Install(ops, "file open", {{"cannot open", FileOpenFails}});
    Hook<&FileOps::OpenForReading>::Install(ops, "file open for reading", {{"cannot open", ReadOpenFails}});
    Hook<&FileOps::GetFileInfo>::Install(ops, "file status", {{"failure", InfoFails}});
    Hook<&FileOps::Read>::Install(ops, "file read", {{"failure", ReadFails}});
    Hook<&FileOps::SeekToEnd>::Install(ops, "file seek", {{"failure", SeekFails}});
    Hook<&FileOps::Write>::Install(ops, "file write", {{"failure", WriteFails}, {"short write", ShortWrite}});
    Hook<&FileOps::Close>::Install(ops, "file close");
    Hook<&FileOps::GetFileAttributes>::Install(ops, "GetFileAttributesA", {{"not found", NoAttributes}});
    ops.OpenExclusive = TrackOpenExclusive;
    ops.OpenForReading = TrackOpenForReading;
    ops.Close = TrackClose;
}

// The reader cannot read the file: the default comes back, as for a missing file.
std::uint32_t ProfileFails(const char*, const char*, const char* def, char* buffer, std::uint32_t size, const char*) {
    if (buffer == nullptr || size == 0) return 0;
    std::uint32_t n = 0;
    for (; def != nullptr && def[n] != '\0' && n + 1 < size; ++n) buffer[n] = def[n];
    buffer[n] = '\0';
    return n;
}

// --- memory, security, threads ----------------------------------------------------------

void* NoMemory(std::size_t, std::size_t) { return nullptr; }
void* TrackCalloc(std::size_t count, std::size_t size) {
    void* block = Hook<&platform::MemoryOps::calloc>::Call(count, size);
    if (block != nullptr) state.blocks.insert(block);
    return block;
}
void TrackFree(void* block) {
    if (block != nullptr) state.blocks.erase(block);
    Hook<&platform::MemoryOps::free>::Call(block);
}

using platform::SecurityOps;
using platform::TokenHandle;
bool NoToken(std::uint32_t, TokenHandle*) { return false; }
bool NoInformation(TokenHandle, int, void*, std::uint32_t, std::uint32_t*) { return false; }
bool NoSid(const platform::SidIdentifierAuthority*, std::uint8_t, const std::uint32_t*, platform::Sid**) {
    return false;
}
bool TrackOpenToken(std::uint32_t access, TokenHandle* token) {
    const bool ok = Hook<&SecurityOps::OpenProcessToken>::Call(access, token);
    if (ok) state.tokens.insert(*token);
    return ok;
}
bool TrackCloseToken(TokenHandle token) {
    state.tokens.erase(token);
    return Hook<&SecurityOps::CloseHandle>::Call(token);
}
bool TrackAllocateSid(const platform::SidIdentifierAuthority* authority, std::uint8_t count,
                      const std::uint32_t subAuthorities[8], platform::Sid** sid) {
    const bool ok = Hook<&SecurityOps::AllocateAndInitializeSid>::Call(authority, count, subAuthorities, sid);
    if (ok) state.sids.insert(*sid);
    return ok;
}
void TrackFreeSid(platform::Sid* sid) {
    state.sids.erase(sid);
    Hook<&SecurityOps::FreeSid>::Call(sid);
}

void HookSecurity(SecurityOps& ops) {
    Hook<&SecurityOps::OpenProcessToken>::Install(ops, "OpenProcessToken", {{"access denied", NoToken}});
    Hook<&SecurityOps::GetTokenInformation>::Install(ops, "GetTokenInformation", {{"failure", NoInformation}});
    Hook<&SecurityOps::CloseHandle>::Install(ops, "CloseHandle (token)");
    Hook<&SecurityOps::AllocateAndInitializeSid>::Install(ops, "AllocateAndInitializeSid", {{"no memory", NoSid}});
    Hook<&SecurityOps::EqualSid>::Install(ops, "EqualSid");
    Hook<&SecurityOps::FreeSid>::Install(ops, "FreeSid");
    ops.OpenProcessToken = TrackOpenToken;
    ops.CloseHandle = TrackCloseToken;
    ops.AllocateAndInitializeSid = TrackAllocateSid;
    ops.FreeSid = TrackFreeSid;
}

platform::WorkerThread NoThread(platform::WorkerRoutine, void*) { return nullptr; }

#if !defined(_WIN32)
// --- the system calls under the POSIX stand-ins ------------------------------------------

using platform::PosixCalls;

template <int Errno, typename R, typename... A>
R KernelFails(A...) {
    errno = Errno;
    return static_cast<R>(-1);
}
// The kernel gives a descriptor back even when its close reports an error.
template <int Errno>
int CloseFails(int fd) {
    Hook<&PosixCalls::close>::original(fd);
    errno = Errno;
    return -1;
}

void HookPosixCalls(PosixCalls& c) {
    using S = struct stat;
    Hook<&PosixCalls::open>::Install(c, "open", {{"EACCES", KernelFails<EACCES, int, const char*, int, mode_t>},
                                                 {"EMFILE", KernelFails<EMFILE, int, const char*, int, mode_t>}});
    Hook<&PosixCalls::openat>::Install(c, "openat",
                                       {{"EACCES", KernelFails<EACCES, int, int, const char*, int, mode_t>}});
    Hook<&PosixCalls::close>::Install(c, "close", {{"EIO", CloseFails<EIO>}});
    Hook<&PosixCalls::read>::Install(c, "read", {{"EIO", KernelFails<EIO, ssize_t, int, void*, std::size_t>}});
    Hook<&PosixCalls::write>::Install(
        c, "write", {{"ENOSPC", KernelFails<ENOSPC, ssize_t, int, const void*, std::size_t>},
                     {"EIO", KernelFails<EIO, ssize_t, int, const void*, std::size_t>}});
    Hook<&PosixCalls::lseek>::Install(c, "lseek", {{"EIO", KernelFails<EIO, off_t, int, off_t, int>}});
    Hook<&PosixCalls::ftruncate>::Install(c, "ftruncate", {{"EIO", KernelFails<EIO, int, int, off_t>}});
    Hook<&PosixCalls::fstat>::Install(c, "fstat", {{"EIO", KernelFails<EIO, int, int, S*>}});
    Hook<&PosixCalls::stat>::Install(c, "stat", {{"EACCES", KernelFails<EACCES, int, const char*, S*>}});
    Hook<&PosixCalls::flock>::Install(c, "flock", {{"EWOULDBLOCK", KernelFails<EWOULDBLOCK, int, int, int>}});
    Hook<&PosixCalls::rename>::Install(c, "rename",
                                       {{"ENOSPC", KernelFails<ENOSPC, int, const char*, const char*>}});
    Hook<&PosixCalls::unlink>::Install(c, "unlink", {{"EACCES", KernelFails<EACCES, int, const char*>}});
    Hook<&PosixCalls::mkdir>::Install(c, "mkdir", {{"ENOSPC", KernelFails<ENOSPC, int, const char*, mode_t>}});
    Hook<&PosixCalls::rmdir>::Install(c, "rmdir", {{"ENOTEMPTY", KernelFails<ENOTEMPTY, int, const char*>}});
}
#endif

// --- the clock, the trace --------------------------------------------------------------

std::uint32_t SweepTick() {
    if (!OnSweepThread()) return platform::SystemDefaults().GetTickCount();
    CountCall();
    return state.tick++;
}
// A worker sleeps a real millisecond for any sleep: it runs, and ends soon after it is asked to.
void SweepSleep(std::uint32_t milliseconds) {
    if (!OnSweepThread()) return platform::SystemDefaults().Sleep(1);
    CountCall();
    state.tick += milliseconds;
}
std::uint32_t CountVersion() {
    if (OnSweepThread()) CountCall();
    return platform::SystemDefaults().GetVersion();
}
platform::TimeOfDay CountTimeOfDay() {
    if (OnSweepThread()) CountCall();
    return platform::SystemDefaults().LocalTimeOfDay();
}
void SweepTrace(const char* text) {
    if (!OnSweepThread()) return;
    CountCall();
    state.trace += text;
}

// --- the arm -------------------------------------------------------------------------

platform::ArmLibrary fakeArm;

[[noreturn]] void ArmThrows(const char* name) { throw std::runtime_error(std::string(name) + ": arm fault"); }
#if defined(_WIN32)
volatile std::uintptr_t nowhere = 0;
void ArmFaults() { *reinterpret_cast<volatile int*>(nowhere) = 1; }
constexpr int kArmVariants = 3;
constexpr const char* kArmErrors[] = {"failure return", "throw", "processor fault"};
#else
void ArmFaults() {}
constexpr int kArmVariants = 2;
constexpr const char* kArmErrors[] = {"failure return", "throw"};
#endif
int armAprePortaKind, armLeggeParametriKind, armChiudePortaKind, armLeggeQuotaKind, armResetEncoderKind;

// -1: the call fails with a failure return; otherwise the call goes on.
int ArmDecide(const void* kind, const char* name) {
    switch (Decide(kind, name, kArmErrors, kArmVariants)) {
        case 0: return 0;
        case 1: return -1;
        case 2: ArmThrows(name);
        default: ArmFaults(); return -1;
    }
}
#if defined(_WIN32)
int KESTAR_CALL FaultingAprePorta(const char*) {
    ArmFaults();
    return -1;
}
#endif
int KESTAR_CALL SweepAprePorta(const char* port) {
    return ArmDecide(&armAprePortaKind, "AprePorta") != 0 ? -1 : fakeArm.AprePorta(port);
}
int KESTAR_CALL SweepLeggeParametri(char* path) {
    return ArmDecide(&armLeggeParametriKind, "LeggeParametri") != 0 ? -1 : fakeArm.LeggeParametri(path);
}
int KESTAR_CALL SweepChiudePorta() {
    return ArmDecide(&armChiudePortaKind, "ChiudePorta") != 0 ? -1 : fakeArm.ChiudePorta();
}
int KESTAR_CALL SweepLeggeQuota(double* reading, int* status) {
    return ArmDecide(&armLeggeQuotaKind, "LeggeQuota") != 0 ? -1 : fakeArm.LeggeQuota(reading, status);
}
int KESTAR_CALL SweepResetEncoder() {
    return ArmDecide(&armResetEncoderKind, "ResetEncoder") != 0 ? -1 : fakeArm.ResetEncoder();
}

// --- what a run left --------------------------------------------------------------------

// The system finally completes the writes it held past Close: the driver left their
// records allocated for it, and they are given back now.
void ReleaseHeldWrites() {
    FakeUart* uart = FakeUart::Current();
    if (uart == nullptr) return;
    for (int com = 1; com <= 255; ++com) {
        FakeComDevice* d = uart->Find(com);
        if (d == nullptr) continue;
        d->writesNeverComplete = false;
        if (!d->open) {
            while (platform::Overlapped* record = uart->ForceCompleteOldestWrite(com)) serial::FreeBlock(record);
        }
        d->writesPend = false;
        d->received.clear();
    }
}

// --- the log file -----------------------------------------------------------------------

std::vector<std::string> LogLinesOfTrace(const std::string& trace) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < trace.size()) {
        std::size_t end = trace.find('\n', start);
        if (end == std::string::npos) end = trace.size() - 1;
        const std::string line = trace.substr(start, end + 1 - start);
        if (line.size() >= 2 && line[0] == '<' && line.compare(line.size() - 2, 2, "\r\n") == 0) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// "<H:M:SS>   text" and CR LF.
bool WellFormed(const std::string& line) {
    std::size_t at = 1;
    auto digits = [&](std::size_t most) {
        std::size_t n = 0;
        while (at < line.size() && n < most && line[at] >= '0' && line[at] <= '9') ++at, ++n;
        return n;
    };
    if (line.empty() || line[0] != '<' || digits(2) == 0 || line[at++] != ':' || digits(2) == 0 || line[at++] != ':' ||
        digits(2) != 2 || line.compare(at, 4, ">   ") != 0) {
        return false;
    }
    const std::size_t end = line.find('\r', at);
    return end == line.size() - 2 && line[end + 1] == '\n' && line.find('\n') == end + 1;
}

// The file's lines; problem set when one is not well-formed or, unless cutAllowed,
// the file ends inside a line. A write that failed part way may leave the start of
// a line at the end of the file; the next write must complete it or empty the file.
std::vector<std::string> FileLines(const std::string& path, std::string& problem, bool cutAllowed = false) {
    const std::string text = ReadFileBytes(path);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end + 2 - start);
        const bool cut = end == std::string::npos && cutAllowed;
        if (!cut && !WellFormed(line) && problem.empty()) problem = "log line not well-formed: '" + line + "'";
        lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole, std::string& missing) {
    std::size_t at = 0;
    for (const std::string& line : part) {
        while (at < whole.size() && whole[at] != line) ++at;
        if (at == whole.size()) {
            missing = line;
            return false;
        }
        ++at;
    }
    return true;
}

}  // namespace

// --- the seam while a sweep runs -------------------------------------------------------------

namespace {
struct SavedTables {
    platform::SerialOps serial;
    platform::RegistryOps registry;
    platform::FileOps files;
    platform::ProfileOps profile;
    platform::MemoryOps memory;
    platform::SecurityOps security;
    platform::SystemOps system;
    platform::WorkerThreadOps threads;
    platform::TraceWriter trace;
#if !defined(_WIN32)
    platform::PosixCalls posix;
#endif
};
SavedTables saved;
}  // namespace

SweepSeam::SweepSeam() {
    saved = SavedTables{platform::Serial(),   platform::Registry(), platform::Files(),
                        platform::Profile(),  platform::Memory(),   platform::Security(),
                        platform::System(),   platform::WorkerThreads(), nullptr};
#if !defined(_WIN32)
    saved.posix = platform::Posix();
    HookPosixCalls(platform::Posix());
#endif
    state = SweepState{};
    sweepThread = std::this_thread::get_id();
    HookSerial(platform::Serial());
    HookRegistry(platform::Registry());
    HookFiles(platform::Files());
    Hook<&platform::ProfileOps::GetPrivateProfileString>::Install(platform::Profile(), "GetPrivateProfileStringA",
                                                                   {{"cannot read", ProfileFails}});
    platform::MemoryOps& memory = platform::Memory();
    Hook<&platform::MemoryOps::calloc>::Install(memory, "calloc", {{"no memory", NoMemory}});
    Hook<&platform::MemoryOps::free>::Install(memory, "free");
    memory.calloc = TrackCalloc;
    memory.free = TrackFree;
    HookSecurity(platform::Security());
    Hook<&platform::WorkerThreadOps::Start>::Install(platform::WorkerThreads(), "thread start",
                                                     {{"failure", NoThread}});
    platform::SystemOps& system = platform::System();
    system.GetTickCount = SweepTick;
    system.Sleep = SweepSleep;
    system.GetVersion = CountVersion;
    system.LocalTimeOfDay = CountTimeOfDay;
    saved.trace = platform::InstallTraceWriter(SweepTrace);
    fakeArm = ScopedFakeArm::Calls();
    const platform::ArmLibrary arm{SweepAprePorta, SweepLeggeParametri, SweepChiudePorta, SweepLeggeQuota,
                                   SweepResetEncoder};
    platform::InstallArmLibrary(&arm);
}

SweepSeam::~SweepSeam() {
    platform::InstallArmLibrary(&fakeArm);
    platform::InstallTraceWriter(saved.trace);
    platform::Serial() = saved.serial;
    platform::Registry() = saved.registry;
    platform::Files() = saved.files;
    platform::Profile() = saved.profile;
    platform::Memory() = saved.memory;
    platform::Security() = saved.security;
    platform::System() = saved.system;
    platform::WorkerThreads() = saved.threads;
#if !defined(_WIN32)
    platform::Posix() = saved.posix;
#endif
}

void SweepSeam::Arm(SweepMode mode, std::uint32_t k) {
    state.mode = mode;
    state.target = k;
    state.outside = state.failable = 0;
    state.failedKind = nullptr;
    state.failedVariant = 0;
    state.failedName.clear();
    state.trace.clear();
    if (mode == SweepMode::kCount) state.counted.clear();
    // What an earlier run left is that run's finding, not this one's.
    state.keys.clear();
    state.files.clear();
    state.tokens.clear();
    state.sids.clear();
    state.blocks.clear();
    state.armed = true;
}

void SweepSeam::Disarm() { state.armed = false; }
std::uint32_t SweepSeam::outsideCalls() const { return state.outside; }
std::uint32_t SweepSeam::failableCalls() const { return state.failable; }
std::string SweepSeam::failedCall() const { return state.failedName; }
const std::string& SweepSeam::trace() const { return state.trace; }

std::string SweepSeam::Leftovers() const {
    std::string left;
    auto note = [&left](std::size_t count, const char* what) {
        if (count != 0) left += (left.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    note(state.keys.size(), "registry keys open");
    note(state.files.size(), "files open");
    note(state.tokens.size(), "tokens open");
    note(state.sids.size(), "SIDs allocated");
    note(state.blocks.size(), "heap blocks allocated");
    if (FakeUart* uart = FakeUart::Current()) {
        note(static_cast<std::size_t>(uart->openHandles), "devices open");
        note(uart->events.size(), "events open");
    }
    if (serial::LivePorts() != nullptr) note(1, "live port list not empty");
    return left;
}

// --- the sweep ----------------------------------------------------------------------------------

SweepFigures RunSweep(const SweepScenario& scenario, std::uint32_t every) {
    SweepFigures figures;
    figures.every = every == 0 ? 1 : every;
    SweepSeam seam;

    std::uint32_t runOutside = 0, runFailable = 0;
    int unfaultedGrowth = 0;
    // One run: the scenario under the fault, then without faults its finish (what
    // the host or the runtime does next) and a start-up and shut-down.
    auto runOnce = [&](SweepMode mode, std::uint32_t k, bool countHandles) -> std::string {
        const int handlesBefore = countHandles ? ProcessHandles() : -1;
        seam.Arm(mode, k);
        std::string problem = scenario.run();
        seam.Disarm();
        runOutside = seam.outsideCalls();
        runFailable = seam.failableCalls();
        const std::vector<std::string> written = LogLinesOfTrace(seam.trace());
        if (scenario.finish) scenario.finish();
        ReleaseHeldWrites();
        std::string logProblem;
        const std::vector<std::string> first = FileLines(scenario.logFile, logProblem, true);
        state.trace.clear();
        if (scenario.recover) {
            const std::string recovery = scenario.recover();
            if (problem.empty() && !recovery.empty()) problem = "afterwards: " + recovery;
        }
        ReleaseHeldWrites();
        const std::vector<std::string> recoveryLines = LogLinesOfTrace(state.trace);
        std::vector<std::string> after = FileLines(scenario.logFile, logProblem);
        if (after.size() >= recoveryLines.size() &&
            std::equal(recoveryLines.rbegin(), recoveryLines.rend(), after.rbegin())) {
            after.resize(after.size() - recoveryLines.size());
        } else if (logProblem.empty()) {
            logProblem = "the log file lacks the lines of the start-up after the run";
        }
        // Each start-up empties the log: the lines of the run's last session must be in it.
        std::size_t session = 0;
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (written[i].find("Starting Interface DLL") != std::string::npos) session = i;
        }
        std::vector<std::string> both = first;
        both.insert(both.end(), after.begin(), after.end());
        std::string missing;
        const std::vector<std::string> lastSession(written.begin() + static_cast<std::ptrdiff_t>(session),
                                                   written.end());
        if (logProblem.empty() && !IsSubsequence(lastSession, both, missing)) {
            logProblem = "log line lost: '" + missing.substr(0, missing.size() - 2) + "'";
        }
        if (problem.empty()) problem = logProblem;
        const std::string left = seam.Leftovers();
        if (problem.empty() && !left.empty()) problem = "left behind: " + left;
        const int handles = ProcessHandles();
        if (problem.empty() && handlesBefore >= 0 && handles - handlesBefore > unfaultedGrowth) {
            problem = std::to_string(handles - handlesBefore) + " more descriptors or handles than before (" +
                      std::to_string(unfaultedGrowth) + " after a run without a fault)";
        }
        return problem;
    };

    // The counting run gives the figures.
    // The first run may load what stays loaded (the arm library the doctor opens).
    const std::string counted = runOnce(SweepMode::kCount, 0, false);
    if (!counted.empty()) figures.problems.push_back(scenario.name + ", no fault: " + counted);
    figures.outsideCalls = runOutside;
    figures.failableCalls = runFailable;
#if defined(_WIN32)
    // Under Wine the first processor fault caught in an arm call leaves two handles
    // for good; one such fault here keeps that out of the runs.
    const platform::ArmLibrary sweeping{SweepAprePorta, SweepLeggeParametri, SweepChiudePorta, SweepLeggeQuota,
                                        SweepResetEncoder};
    platform::ArmLibrary faulting = sweeping;
    faulting.AprePorta = FaultingAprePorta;
    platform::InstallArmLibrary(&faulting);
    try {
        platform::ArmAprePorta("COM1");
    } catch (const platform::ArmLibraryError&) {
    }
    platform::InstallArmLibrary(&sweeping);
#endif
    // What a run without a fault leaves is no finding of the fault: under Wine each
    // load and free of a DLL built with this toolchain (the module, which the doctor
    // loads to check it, as the arm simulator) keeps two handles.
    {
        const int before = ProcessHandles();
        runOnce(SweepMode::kCount, 0, false);
        unfaultedGrowth = ProcessHandles() - before;
    }
    for (const auto& [name, count] : state.counted) {
        figures.callsByName += (figures.callsByName.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    state.callLimit = 50 * figures.outsideCalls + 100000;

    for (SweepMode mode : {SweepMode::kFailOnce, SweepMode::kFailFrom}) {
        for (std::uint32_t k = 1; k <= figures.failableCalls; k += figures.every) {
            const std::string problem = runOnce(mode, k, true);
            const bool well = problem.empty();
            if (mode == SweepMode::kFailOnce) {
                ++figures.onceRuns;
                figures.onceWell += well ? 1 : 0;
            } else {
                ++figures.fromRuns;
                figures.fromWell += well ? 1 : 0;
            }
            if (!well) {
                figures.problems.push_back(scenario.name + (mode == SweepMode::kFailOnce ? ", once" : ", from k on") +
                                           ", k=" + std::to_string(k) + " (" + seam.failedCall() + "): " + problem);
            }
        }
    }
    state.callLimit = 0;
    return figures;
}

}  // namespace kestar::testing
