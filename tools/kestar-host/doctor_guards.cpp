#include "doctor_guards.h"

#include "doctor_system.h"

#include "serial/line_settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kestar::tools {
namespace {

// ---- Writes go nowhere ------------------------------------------------------------

platform::RegistryOps systemRegistry;

long GuardOpenKeyEx(platform::RegHandle root, const char* path, std::uint32_t options, std::uint32_t access,
                    platform::RegHandle* result) {
    // Opening a predefined root would make the POSIX store's folder.
    if (root == platform::kHkeyLocalMachine && !MachineRootPresent()) {
        *result = 0;
        return platform::kRegFileNotFound;
    }
    return systemRegistry.OpenKeyEx(root, path, options, access, result);
}
long GuardOpenKey(platform::RegHandle parent, const char* subKey, platform::RegHandle* result) {
    if (parent == platform::kHkeyLocalMachine && !MachineRootPresent()) {
        *result = 0;
        return platform::kRegFileNotFound;
    }
    return systemRegistry.OpenKey(parent, subKey, result);
}
long RefuseCreateKeyEx(platform::RegHandle, const char*, std::uint32_t, std::uint32_t, platform::RegHandle* result,
                       std::uint32_t*) {
    *result = 0;
    return platform::kRegAccessDenied;
}
long RefuseCreateKey(platform::RegHandle, const char*, platform::RegHandle* result) {
    *result = 0;
    return platform::kRegAccessDenied;
}
long RefuseDeleteKey(platform::RegHandle, const char*) { return platform::kRegAccessDenied; }
long RefuseSetValueEx(platform::RegHandle, const char*, std::uint32_t, const unsigned char*, std::uint32_t) {
    return platform::kRegAccessDenied;
}

platform::RegistryOps GuardedRegistry() {
    systemRegistry = platform::Registry();
    platform::RegistryOps ops = systemRegistry;
    ops.OpenKeyEx = GuardOpenKeyEx;
    ops.OpenKey = GuardOpenKey;
    ops.CreateKeyEx = RefuseCreateKeyEx;
    ops.CreateKey = RefuseCreateKey;
    ops.DeleteKey = RefuseDeleteKey;
    ops.SetValueEx = RefuseSetValueEx;
    return ops;
}

constexpr platform::FileHandle kSink = 0x5155;
platform::FileHandle OpenSink(const char*, bool) { return kSink; }
bool SinkSeek(platform::FileHandle) { return true; }
bool SinkWrite(platform::FileHandle, const void*, std::uint32_t size, std::uint32_t* written) {
    if (written != nullptr) *written = size;
    return true;
}
// Files opened for reading (the settings file) are real and are closed for real.
bool (*systemClose)(platform::FileHandle) = nullptr;
bool SinkClose(platform::FileHandle file) { return file == kSink || systemClose(file); }

platform::FileOps GuardedFiles() {
    platform::FileOps ops = platform::Files();
    systemClose = ops.Close;
    ops.OpenExclusive = OpenSink;
    ops.SeekToEnd = SinkSeek;
    ops.Write = SinkWrite;
    ops.Close = SinkClose;
    return ops;
}

void DropTrace(const char*) {}

// ---- Keys asked for ---------------------------------------------------------------

std::vector<std::string>* recordedKeys = nullptr;
platform::ProfileOps systemProfile;

std::uint32_t RecordKey(const char* section, const char* key, const char* def, char* buffer, std::uint32_t size,
                        const char* path) {
    if (recordedKeys != nullptr && key != nullptr) recordedKeys->emplace_back(key);
    return systemProfile.GetPrivateProfileString(section, key, def, buffer, size, path);
}

// ---- Devices, observed ------------------------------------------------------------

platform::SerialOps systemSerial;
std::vector<int> triedComs;
std::map<platform::Handle, int> fakeHandles;  // handle -> COM number (0: an event)
std::uint32_t lastError = 0;
std::uintptr_t nextHandle = 0x4B00;

platform::Handle NewHandle(int com) {
    auto handle = reinterpret_cast<platform::Handle>(nextHandle += 4);  // NOLINT(performance-no-int-to-ptr): a handle value that names nothing, as the system's do
    fakeHandles[handle] = com;
    return handle;
}

bool Held(int com) {
    for (const auto& [handle, number] : fakeHandles) {
        if (number == com) return true;
    }
    return false;
}

platform::Handle ObserveCreateFile(const char* name, std::uint32_t access, std::uint32_t share, void* security,
                                   std::uint32_t creation, std::uint32_t flags, platform::Handle templateFile) {
    int com = 0;
    if (std::sscanf(name, "\\\\.\\COM%d", &com) != 1 || com <= 0) {
        lastError = platform::kErrorFileNotFound;
        return platform::InvalidHandleValue();
    }
    if (Held(com)) {
        lastError = platform::kErrorAccessDenied;
        return platform::InvalidHandleValue();
    }
    for (int tried : triedComs) {
        if (tried != com) continue;
        platform::Handle real = systemSerial.CreateFileA(name, access, share, security, creation, flags, templateFile);
        if (real == platform::InvalidHandleValue()) {
            lastError = systemSerial.GetLastError();
            return real;
        }
        systemSerial.CloseHandle(real);
    }
    if (DeviceSurelyMissing(platform::ComDeviceTarget(com))) {
        lastError = platform::kErrorFileNotFound;
        return platform::InvalidHandleValue();
    }
    return NewHandle(com);
}

platform::Handle ObserveCreateEvent(void*, platform::Bool, platform::Bool, const char*) { return NewHandle(0); }

platform::Bool ObserveSetCommState(platform::Handle, platform::Dcb* dcb) {
    // What this platform's driver refuses of a control block.
    if (!platform::SerialDriverTakesRate(dcb->BaudRate) || dcb->ByteSize < serial::kFewestDataBits ||
        dcb->ByteSize > serial::kMostDataBits) {
        lastError = platform::kErrorInvalidParameter;
        return 0;
    }
    return 1;
}

platform::Bool ObserveGetCommState(platform::Handle, platform::Dcb* dcb) {
    *dcb = platform::Dcb{};
    return 1;
}
platform::Bool ObserveTimeouts(platform::Handle, platform::CommTimeouts*) { return 1; }
platform::Bool ObserveSetup(platform::Handle, std::uint32_t, std::uint32_t) { return 1; }
platform::Bool ObserveGetMask(platform::Handle, std::uint32_t* mask) {
    *mask = 0;
    return 1;
}
platform::Bool ObserveSetMask(platform::Handle, std::uint32_t) { return 1; }
platform::Bool ObserveEscape(platform::Handle, std::uint32_t) { return 1; }
platform::Bool ObserveClose(platform::Handle handle) { return fakeHandles.erase(handle) != 0 ? 1 : 0; }
std::uint32_t ObserveLastError() { return lastError; }
platform::Bool Refuse(platform::Handle) {
    lastError = platform::kErrorNotSupported;
    return 0;
}

}  // namespace

WriteGuards::WriteGuards()
    : registry_(GuardedRegistry()), files_(GuardedFiles()), previousTrace_(platform::InstallTraceWriter(DropTrace)) {}

WriteGuards::~WriteGuards() { platform::InstallTraceWriter(previousTrace_); }

SettingsKeyRecorder::SettingsKeyRecorder(std::vector<std::string>& keys) {
    recordedKeys = &keys;
    systemProfile = platform::Profile();
    platform::ProfileOps ops = systemProfile;
    ops.GetPrivateProfileString = RecordKey;
    profile_ = std::make_unique<platform::ScopedProfileOps>(ops);
}

SettingsKeyRecorder::~SettingsKeyRecorder() {
    profile_.reset();
    recordedKeys = nullptr;
}

ObservedSerial::ObservedSerial(std::vector<int> tried) {
    systemSerial = platform::Serial();
    triedComs = std::move(tried);
    fakeHandles.clear();
    lastError = 0;
    platform::SerialOps ops = systemSerial;
    ops.CreateFileA = ObserveCreateFile;
    ops.CreateEventA = ObserveCreateEvent;
    ops.SetupComm = ObserveSetup;
    ops.GetCommState = ObserveGetCommState;
    ops.SetCommState = ObserveSetCommState;
    ops.GetCommTimeouts = ObserveTimeouts;
    ops.SetCommTimeouts = ObserveTimeouts;
    ops.GetCommMask = ObserveGetMask;
    ops.SetCommMask = ObserveSetMask;
    ops.EscapeCommFunction = ObserveEscape;
    ops.CloseHandle = ObserveClose;
    ops.GetLastError = ObserveLastError;
    // Nothing is ever sent or received through an observed port.
    ops.SetCommBreak = Refuse;
    ops.ClearCommBreak = Refuse;
    ops.CancelIo = Refuse;
    serial_ = std::make_unique<platform::ScopedSerialOps>(ops);
}

ObservedSerial::~ObservedSerial() {
    serial_.reset();
    fakeHandles.clear();
}

namespace {

platform::SerialOps exclusiveSystem;
std::map<int, std::string> exclusiveHolders;  // COM number -> the processes that held it
bool exclusiveRefused = false;

platform::Handle ExclusiveCreateFile(const char* name, std::uint32_t access, std::uint32_t share, void* security,
                                     std::uint32_t creation, std::uint32_t flags, platform::Handle templateFile) {
    int com = 0;
    exclusiveRefused = false;
    const bool isCom = std::sscanf(name, "\\\\.\\COM%d", &com) == 1 && com > 0;
    platform::Handle handle = exclusiveSystem.CreateFileA(name, access, share, security, creation, flags, templateFile);
    if (!isCom || handle == platform::InvalidHandleValue()) return handle;
    // Another handle to the device, in this process (an earlier port line, the arm
    // library) or in another one.
    std::string holders = ProcessesHolding(handle);
    if (!holders.empty()) {
        exclusiveSystem.CloseHandle(handle);
        exclusiveHolders[com] = std::move(holders);
        exclusiveRefused = true;
        return platform::InvalidHandleValue();
    }
    return handle;
}

std::uint32_t ExclusiveLastError() {
    return exclusiveRefused ? platform::kErrorAccessDenied : exclusiveSystem.GetLastError();
}

}  // namespace

ExclusiveComOpens::ExclusiveComOpens() {
    exclusiveSystem = platform::Serial();
    exclusiveHolders.clear();
    exclusiveRefused = false;
    platform::SerialOps ops = exclusiveSystem;
    ops.CreateFileA = ExclusiveCreateFile;
    ops.GetLastError = ExclusiveLastError;
    serial_ = std::make_unique<platform::ScopedSerialOps>(ops);
}

ExclusiveComOpens::~ExclusiveComOpens() { serial_.reset(); }

std::string ExclusiveComOpens::HeldElsewhere(int com) {
    const auto found = exclusiveHolders.find(com);
    return found == exclusiveHolders.end() ? std::string() : found->second;
}

}  // namespace kestar::tools
