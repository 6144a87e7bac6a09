// The arm library: the arm maker's measuring library, outside the module.
//
// It is loaded from known folders only, never from the current folder: code that
// lies where the user happens to stand must not end up inside a measuring host
// (ArmLibraryCandidates). Each call is looked up by its undecorated name first, then as _Name@N (the
// standard-call decoration, N the bytes of arguments). A test installs its own
// arm in-process instead.
#pragma once

#include "kestar.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace kestar::platform {

// The library's calls: its name and the bytes of its arguments (for "_Name@N").
struct ArmCallName {
    const char* name;
    int argumentBytes;
};
enum ArmCallIndex { kArmAprePorta, kArmLeggeParametri, kArmChiudePorta, kArmLeggeQuota, kArmResetEncoder };
inline constexpr ArmCallName kArmCalls[] = {
    {"AprePorta", 4}, {"LeggeParametri", 4}, {"ChiudePorta", 0}, {"LeggeQuota", 8}, {"ResetEncoder", 0},
};

// The doubles LeggeQuota fills: position at 0 to 2, the arm vector at 12 to 14.
constexpr int kArmReadingSize = 26;

struct ArmLibrary {
    int(KESTAR_CALL* AprePorta)(const char* portName);
    int(KESTAR_CALL* LeggeParametri)(char* tablePath);
    int(KESTAR_CALL* ChiudePorta)();
    int(KESTAR_CALL* LeggeQuota)(double* reading, int* status);
    int(KESTAR_CALL* ResetEncoder)();
};

// A call that is missing, or a system exception raised inside the library.
class ArmLibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using SymbolLookup = void* (*)(void* context, const char* name);

// Fills the five calls through lookup: "Name" first, then "_Name@N".
ArmLibrary ResolveArmLibrary(SymbolLookup lookup, void* context);

// The names of the calls missing in arm, separated by blanks; empty when complete.
std::string MissingArmCalls(const ArmLibrary& arm);

// Loads the system library once, unless a test installed an arm. Returns an empty
// text when all five calls are there, otherwise one line saying what is missing.
std::string LoadArmLibrary();

// Installs an in-process arm (copied); nullptr goes back to the system library.
void InstallArmLibrary(const ArmLibrary* arm);

// The calls. Each returns false, calling nothing, when the call is not available.
// A system exception inside the library is thrown as ArmLibraryError (Windows);
// C++ exceptions from the library pass through unchanged.
bool ArmAprePorta(const char* portName);
bool ArmLeggeParametri(char* tablePath);
bool ArmChiudePorta();
bool ArmResetEncoder();
// bool ArmLeggeQuota(double* reading, int* status): below, made in place.

// Platform part: open the system library and resolve it; problem set on failure.
bool SystemLoadArmLibrary(ArmLibrary& arm, std::string& problem);

// The files the arm library is looked for as, best first, for a module in moduleFolder loaded
// into a program in hostProgramFolder: Windows: moduleFolder\zuroz.dll, hostProgramFolder\zuroz.dll,
// then "zuroz.dll" alone, which the system looks for in its safe default folders only.
// Linux: $KESTAR_ARM_LIBRARY alone when it is set, else moduleFolder/libzuroz.so. Never the current folder.
std::vector<std::string> ArmLibraryCandidates(const std::string& moduleFolder, const std::string& hostProgramFolder);
// Opens the first of candidates that loads; file is set to the file loaded; null with problem set otherwise.
void* OpenArmLibraryFrom(const std::vector<std::string>& candidates, std::string& file, std::string& problem);

// The folder of this module's own file and of the program that loaded it; empty when
// the system cannot say.
std::string ModuleFolder();
std::string HostProgramFolder();

// Platform part: the system library as start-up opens it, not yet resolved:
// OpenArmLibraryFrom(ArmLibraryCandidates(ModuleFolder(), HostProgramFolder())).
// The file loaded goes to the debug trace. The library stays loaded for the life of
// the process.
void* OpenSystemArmLibrary(std::string& file, std::string& problem);

// A symbol of a library OpenSystemArmLibrary returned; lookup for ResolveArmLibrary.
void* ArmLibrarySymbol(void* handle, const char* name);

// Platform part: runs call(context) so that a system exception raised inside it
// returns false with its code instead of ending the process. POSIX: a plain call.
#if defined(_WIN32)
constexpr bool kArmCallsNeedGuard = true;
#else
constexpr bool kArmCallsNeedGuard = false;
#endif
bool GuardedArmCall(void (*call)(void* context), void* context, unsigned long& exceptionCode);

namespace detail {
// The library the calls go to: the installed arm, else the system library.
extern const ArmLibrary* currentArm;
// LeggeQuota inside the platform's guard, throwing ArmLibraryError as the calls above do.
void GuardedLeggeQuota(int(KESTAR_CALL* call)(double* reading, int* status), double* reading, int* status);
}  // namespace detail

// The reading, the host's every GetCommData, made where it is called: where no guard
// is needed it costs the library's own call and nothing more.
inline bool ArmLeggeQuota(double* reading, int* status) {
    const auto call = detail::currentArm->LeggeQuota;
    if (call == nullptr) return false;
    if constexpr (kArmCallsNeedGuard) {
        detail::GuardedLeggeQuota(call, reading, status);
    } else {
        call(reading, status);
    }
    return true;
}

}  // namespace kestar::platform
