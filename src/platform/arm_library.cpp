#include "platform/arm_library.h"

#include "platform/debug_trace.h"

#include <cstdio>

namespace kestar::platform {
namespace {

constexpr const ArmCallName& kAprePorta = kArmCalls[kArmAprePorta];
constexpr const ArmCallName& kLeggeParametri = kArmCalls[kArmLeggeParametri];
constexpr const ArmCallName& kChiudePorta = kArmCalls[kArmChiudePorta];
constexpr const ArmCallName& kLeggeQuota = kArmCalls[kArmLeggeQuota];
constexpr const ArmCallName& kResetEncoder = kArmCalls[kArmResetEncoder];

ArmLibrary systemArm{};
bool systemLoaded = false;
ArmLibrary installedArm{};

const ArmLibrary& CurrentArm() { return *detail::currentArm; }
bool ArmInstalled() { return detail::currentArm == &installedArm; }

void* Resolve(SymbolLookup lookup, void* context, const ArmCallName& call) {
    if (void* symbol = lookup(context, call.name)) return symbol;
    char decorated[64];
    std::snprintf(decorated, sizeof decorated, "_%s@%d", call.name, call.argumentBytes);
    return lookup(context, decorated);
}

template <typename Fn>
void Assign(Fn& target, void* symbol) {
    target = reinterpret_cast<Fn>(symbol);
}

// Runs a call of the library inside the platform's guard. POSIX has no
// structured exceptions to catch, so there the call is made directly.
template <typename Body>
void Guarded(const char* name, Body body) {
    if (!kArmCallsNeedGuard) {
        body();
        return;
    }
    unsigned long code = 0;
    auto thunk = [](void* context) { (*static_cast<Body*>(context))(); };
    if (!GuardedArmCall(thunk, &body, code)) {
        char text[96];
        std::snprintf(text, sizeof text, "system exception 0x%08lX inside %s", code, name);
        throw ArmLibraryError(text);
    }
}

}  // namespace

const ArmLibrary* detail::currentArm = &systemArm;

ArmLibrary ResolveArmLibrary(SymbolLookup lookup, void* context) {
    ArmLibrary arm{};
    Assign(arm.AprePorta, Resolve(lookup, context, kAprePorta));
    Assign(arm.LeggeParametri, Resolve(lookup, context, kLeggeParametri));
    Assign(arm.ChiudePorta, Resolve(lookup, context, kChiudePorta));
    Assign(arm.LeggeQuota, Resolve(lookup, context, kLeggeQuota));
    Assign(arm.ResetEncoder, Resolve(lookup, context, kResetEncoder));
    return arm;
}

std::string MissingArmCalls(const ArmLibrary& arm) {
    std::string missing;
    auto note = [&missing](bool present, const char* name) {
        if (present) return;
        if (!missing.empty()) missing += ' ';
        missing += name;
    };
    note(arm.AprePorta != nullptr, kAprePorta.name);
    note(arm.LeggeParametri != nullptr, kLeggeParametri.name);
    note(arm.ChiudePorta != nullptr, kChiudePorta.name);
    note(arm.LeggeQuota != nullptr, kLeggeQuota.name);
    note(arm.ResetEncoder != nullptr, kResetEncoder.name);
    return missing;
}

std::string LoadArmLibrary() {
    if (!ArmInstalled() && !systemLoaded) {
        std::string problem;
        if (!SystemLoadArmLibrary(systemArm, problem)) return problem;
        systemLoaded = true;
    }
    std::string missing = MissingArmCalls(CurrentArm());
    if (missing.empty()) return missing;
    return "arm library lacks " + missing;
}

void* OpenSystemArmLibrary(std::string& file, std::string& problem) {
    void* handle = OpenArmLibraryFrom(ArmLibraryCandidates(ModuleFolder(), HostProgramFolder()), file, problem);
    if (handle != nullptr) Trace("arm library loaded from %s\n", file.c_str());
    return handle;
}

bool SystemLoadArmLibrary(ArmLibrary& arm, std::string& problem) {
    std::string file;
    void* handle = OpenSystemArmLibrary(file, problem);
    if (handle == nullptr) return false;
    arm = ResolveArmLibrary(ArmLibrarySymbol, handle);
    return true;
}

void InstallArmLibrary(const ArmLibrary* arm) {
    installedArm = arm != nullptr ? *arm : ArmLibrary{};
    detail::currentArm = arm != nullptr ? &installedArm : &systemArm;
}

bool ArmAprePorta(const char* portName) {
    auto call = CurrentArm().AprePorta;
    if (call == nullptr) return false;
    Guarded(kAprePorta.name, [&] { call(portName); });
    return true;
}

bool ArmLeggeParametri(char* tablePath) {
    auto call = CurrentArm().LeggeParametri;
    if (call == nullptr) return false;
    Guarded(kLeggeParametri.name, [&] { call(tablePath); });
    return true;
}

bool ArmChiudePorta() {
    auto call = CurrentArm().ChiudePorta;
    if (call == nullptr) return false;
    Guarded(kChiudePorta.name, [&] { call(); });
    return true;
}

void detail::GuardedLeggeQuota(int(KESTAR_CALL* call)(double* reading, int* status), double* reading, int* status) {
    Guarded(kLeggeQuota.name, [&] { call(reading, status); });
}

bool ArmResetEncoder() {
    auto call = CurrentArm().ResetEncoder;
    if (call == nullptr) return false;
    Guarded(kResetEncoder.name, [&] { call(); });
    return true;
}

}  // namespace kestar::platform
