// The doctor runs the module's own start-up in this process (the module's sources
// are linked in) through the seam set to observe: the install-folder lookup, the
// log, the settings reader, the arm calls in start-up's order and the port lines,
// with writes refused and devices tried only with --open. Its verdict is what that
// start-up returned; its checks add why, and what to do.
#include "doctor.h"

#include "doctor_checks.h"
#include "doctor_guards.h"
#include "doctor_system.h"
#include "loaded_module.h"

#include "host/start_up.h"
#include "log/interface_log.h"
#include "platform/arm_library.h"
#include "platform/registry.h"
#include "serial/port_manager.h"
#include "serial/status_codes.h"
#include "settings/install_directory.h"
#include "settings/settings_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace kestar::tools {
namespace {

// An arm that does nothing, for a start-up the doctor runs without --arm: the
// arm's device is not touched.
int KESTAR_CALL QuietOpen(const char*) { return 1; }
int KESTAR_CALL QuietParameters(char*) { return 1; }
int KESTAR_CALL QuietCall() { return 1; }
int KESTAR_CALL QuietReading(double*, int* status) {
    *status = 0;
    return 1;
}
platform::ArmLibrary QuietArm() {
    platform::ArmLibrary arm{};
    arm.AprePorta = QuietOpen;
    arm.LeggeParametri = QuietParameters;
    arm.ChiudePorta = QuietCall;
    arm.LeggeQuota = QuietReading;
    arm.ResetEncoder = QuietCall;
    return arm;
}

std::string Folder(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// Reads of the settings file go to another file while one lives.
std::string settingsReadFrom;
platform::ProfileOps profileBeforeRedirect;

std::uint32_t ReadRedirected(const char* section, const char* key, const char* def, char* buffer,
                             std::uint32_t size, const char* path) {
    const bool settings = path != nullptr && SettingsFilePath() == path;
    return profileBeforeRedirect.GetPrivateProfileString(section, key, def, buffer, size,
                                                         settings ? settingsReadFrom.c_str() : path);
}

class SettingsReadRedirect {
public:
    explicit SettingsReadRedirect(const std::string& readFrom) {
        if (readFrom.empty()) return;
        settingsReadFrom = readFrom;
        profileBeforeRedirect = platform::Profile();
        redirect_ = std::make_unique<platform::ScopedProfileOps>(platform::ProfileOps{ReadRedirected});
    }

private:
    std::unique_ptr<platform::ScopedProfileOps> redirect_;
};

// The App Paths entry answers with another install folder while one lives: a
// settings file is judged as start-up would read it from a folder the registry does
// not name (yet), such as the one an installer writes into.
std::string installFolderGiven;
platform::RegistryOps registryBeforeRedirect;
constexpr platform::RegHandle kGivenAppPaths = 0x4B455354u;  // a handle no registry gives out

bool IsAppPaths(platform::RegHandle root, const char* path) {
    return root == platform::kHkeyLocalMachine && path != nullptr && std::strcmp(path, kAppPathsKey) == 0;
}

long OpenGivenAppPaths(platform::RegHandle root, const char* path, std::uint32_t options, std::uint32_t access,
                       platform::RegHandle* result) {
    if (!IsAppPaths(root, path)) return registryBeforeRedirect.OpenKeyEx(root, path, options, access, result);
    *result = kGivenAppPaths;
    return platform::kRegSuccess;
}

long QueryGivenAppPaths(platform::RegHandle key, const char* name, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* size) {
    if (key != kGivenAppPaths) return registryBeforeRedirect.QueryValueEx(key, name, type, data, size);
    if (name == nullptr || std::strcmp(name, kAppPathValue) != 0) return platform::kRegFileNotFound;
    const auto need = static_cast<std::uint32_t>(installFolderGiven.size() + 1);
    if (type != nullptr) *type = platform::kRegSz;
    const bool fits = data == nullptr || *size >= need;
    if (data != nullptr && fits) std::memcpy(data, installFolderGiven.c_str(), need);
    *size = need;
    return fits ? platform::kRegSuccess : platform::kRegMoreData;
}

long CloseGivenAppPaths(platform::RegHandle key) {
    return key == kGivenAppPaths ? platform::kRegSuccess : registryBeforeRedirect.CloseKey(key);
}

class InstallFolderRedirect {
public:
    explicit InstallFolderRedirect(const std::string& folder) {
        if (folder.empty()) return;
        installFolderGiven = folder;
        registryBeforeRedirect = platform::Registry();
        platform::RegistryOps ops = registryBeforeRedirect;
        ops.OpenKeyEx = OpenGivenAppPaths;
        ops.QueryValueEx = QueryGivenAppPaths;
        ops.CloseKey = CloseGivenAppPaths;
        redirect_ = std::make_unique<platform::ScopedRegistryOps>(ops);
    }

private:
    std::unique_ptr<platform::ScopedRegistryOps> redirect_;
};

}  // namespace

void* OpenArmLibraryAsTheHost(const std::string& moduleFolder, const std::string& hostFolder, std::string& file,
                              std::string& problem) {
    const std::string tool = ProgramDirectory();
    for (const std::string& candidate : platform::ArmLibraryCandidates(moduleFolder, hostFolder)) {
        std::string found;
        std::string why;
        void* handle = platform::OpenArmLibraryFrom({candidate}, found, why);
        if (handle != nullptr && Folder(found) == tool && tool != moduleFolder && tool != hostFolder) {
            why = "found only beside this tool, " + found + ", where the host program does not look";
            handle = nullptr;
        }
        if (handle != nullptr) {
            file = found;
            return handle;
        }
        problem += problem.empty() ? "no arm library: " : "; ";
        problem.append(candidate).append(": ").append(why);
    }
    return nullptr;
}

DoctorVerdict Doctor::Run() {
    WriteGuards guards;
    ChooseModule();
    CheckModule();
    if (!moduleUnusable_) {
        CheckInstallFolder();
        if (!options_.started) CheckHostFolder();
        CheckLog();
        CheckArmLibrary();
        CheckArmTable();
        RunStartUp();
        CheckSettings();
        CheckArmReading();
    }
    return Verdict();
}

Report Doctor::RunSettingsChecks() {
    WriteGuards guards;
    CheckInstallFolder();
    CheckLog();
    RunStartUp();
    CheckSettings();
    return report_;
}

void Doctor::RunStartUp() {
    // The arm: the library the host would load (--arm), else one that does nothing.
    platform::ArmLibrary arm = QuietArm();
    if (options_.arm && armUsable_) {
        std::string file;
        std::string problem;
        void* handle = OpenArmLibraryAsTheHost(Folder(modulePath_), installDirectory, file, problem);
        if (handle != nullptr) arm = platform::ResolveArmLibrary(platform::ArmLibrarySymbol, handle);
    }
    platform::InstallArmLibrary(&arm);

    std::vector<int> tried;
    if (options_.arm) tried.push_back(std::atoi(kArmPortName + 3));
    std::unique_ptr<ObservedSerial> observedSerial;
    std::unique_ptr<ExclusiveComOpens> windowsRule;
    if (!options_.open) observedSerial = std::make_unique<ObservedSerial>(tried);
    // Wine opens a COM device a second time where Windows refuses it.
    if (options_.open && UnderWine()) windowsRule = std::make_unique<ExclusiveComOpens>();

    ObserveStartUp();
    if (options_.arm && armUsable_) TakeArmReading();
    ClosePortSlots();
    UsePortManagerState({nullptr, PortManagerStateInUse().readRetryLimit});
    platform::InstallArmLibrary(nullptr);
    DiscardLog();  // the lines the guards kept from the file stay out of later logs
}

// Start-up's own sequence on blocks of the doctor's, with the keys it reads recorded.
void Doctor::ObserveStartUp() {
    MachineBlock machine{};
    ProbeBlock probe{};
    InterfaceBlock block{};
    block.machine = &machine;
    block.probe = &probe;
    {
        SettingsKeyRecorder recorder(observed_.keysRead);
        try {
            observed_.result = StartUp(&block, nullptr) != 0 ? 1 : 0;
        } catch (...) {
            observed_.result = 0;  // the entry point answers so
        }
    }
    observed_.ran = true;
    observed_.errorSet = block.errorCode != 0;
    observed_.errorCode = block.errorCode;
    observed_.errorText.assign(block.errorText, strnlen(block.errorText, sizeof block.errorText));
    if (observed_.result == 0) {
        for (const std::string& key : observed_.keysRead) {
            for (int n = 1; n <= kPortKeyCount; ++n) {
                if (key == PortKey(n)) observed_.stopKey = key;
            }
        }
    }
}

// --arm: one reading after start-up's arm calls, then the arm's port closed.
void Doctor::TakeArmReading() {
    try {
        double reading[platform::kArmReadingSize] = {};
        int status = 0;
        platform::ArmLeggeQuota(reading, &status);
        observed_.armRead = true;
        for (int i = 0; i < 3; ++i) observed_.position[i] = reading[i];
        observed_.armStatus = status;
    } catch (const std::exception& error) {
        observed_.armError = error.what();
    }
    try {
        platform::ArmChiudePorta();
    } catch (...) {
    }
}

DoctorVerdict Doctor::Verdict() {
    DoctorVerdict verdict;
    Check line;
    line.name = "verdict";
    // An unusable module always has its own FAIL line; should none be found, the verdict
    // still names the module rather than reading through a null reason.
    Check unexplained;
    unexplained.name = "module";
    unexplained.found = "the module cannot be used";
    unexplained.todo = "run kestar-host doctor --module PATH with the module the host loads";
    const Check& reason = FirstReason(unexplained);
    if (moduleUnusable_ || !hostFailures_.empty()) {
        line.Set(Level::kFail, "the host cannot call InitializeCommunications: " + reason.found, reason.todo);
        line.Null("result").Text("reason", reason.name).Null("errorCode").Null("errorText");
        verdict.exitCode = kDoctorStartFails;
        verdict.reason = reason.name;
    } else if (observed_.result == 0) {
        StartUpFailsVerdict(reason, line, verdict);
    } else {
        StartUpWorksVerdict(line, verdict);
    }
    line.Flag("devicesTried", options_.open).Int("exit", verdict.exitCode);
    report_.checks().push_back(line);
    return verdict;
}

// The host's first failure; else, where start-up fails, its first FAIL up to where
// it stopped; else unexplained.
const Check& Doctor::FirstReason(const Check& unexplained) const {
    const std::vector<Check>& checks = report_.checks();
    if (!moduleUnusable_ && !hostFailures_.empty()) return checks[hostFailures_.front()];
    if (moduleUnusable_ || observed_.result == 0) {
        const std::size_t last = moduleUnusable_ ? checks.size() - 1 : (ended_ ? endingCheck_ : checks.size() - 1);
        for (std::size_t i = 0; i <= last; ++i) {
            if (checks[i].startUpPath && checks[i].level == Level::kFail) return checks[i];
        }
    }
    return unexplained;
}

// InitializeCommunications would return 0: the error fields it leaves, and the first reason.
void Doctor::StartUpFailsVerdict(const Check& reason, Check& line, DoctorVerdict& verdict) const {
    verdict.result = 0;
    verdict.errorSet = observed_.errorSet;
    verdict.errorCode = observed_.errorCode;
    verdict.errorText = observed_.errorText;
    const std::string error =
        observed_.errorSet ? "errorCode " + std::to_string(observed_.errorCode) + " \"" + observed_.errorText + "\""
                           : std::string("errorCode and errorText left as they were");
    line.Set(Level::kFail,
             "InitializeCommunications would return 0 (" + error + ")" + "; first reason: " + reason.name + ": " +
                 reason.found,
             reason.todo);
    line.Int("result", 0).Text("reason", reason.name);
    verdict.reason = reason.name;
    if (observed_.errorSet) {
        line.Int("errorCode", observed_.errorCode).Text("errorText", observed_.errorText);
    } else {
        line.Null("errorCode").Null("errorText");
    }
    verdict.exitCode = kDoctorStartFails;
}

// InitializeCommunications would return 1: whether arm readings would work, and the
// problems that do not stop start-up.
void Doctor::StartUpWorksVerdict(Check& line, DoctorVerdict& verdict) const {
    const std::vector<Check>& checks = report_.checks();
    verdict.result = 1;
    int fails = 0;
    int warnings = 0;
    for (const Check& check : checks) {
        fails += check.level == Level::kFail ? 1 : 0;
        warnings += check.level == Level::kWarn ? 1 : 0;
    }
    std::string found = "InitializeCommunications would return 1";
    if (!options_.open) found += " if the devices open (--open tries them)";
    line.Int("result", 1);
    if (!mainJobFailures_.empty()) {
        const Check& stopping = checks[mainJobFailures_.front()];
        line.Set(Level::kFail, found + ", but no arm reading would work: " + stopping.name + ": " + stopping.found,
                 stopping.todo);
        line.Text("reason", stopping.name);
        verdict.reason = stopping.name;
        verdict.exitCode = kDoctorMainJobFails;
    } else {
        if (fails + warnings > 0) {
            found += "; " + std::to_string(fails) + " FAIL and " + std::to_string(warnings) +
                     " WARN above do not stop start-up";
        }
        line.Set(Level::kOk, found);
        line.Null("reason");
        verdict.exitCode = kDoctorStarts;
    }
    line.Null("errorCode").Null("errorText");
}

DoctorVerdict Diagnose(const DoctorOptions& options, std::string* report) {
    // The module's folder is where the host looks for the arm library first; a
    // relative path would leave it unnamed, so the path is made whole first.
    DoctorOptions whole = options;
    whole.modulePath = WholePath(options.modulePath);  // empty stays empty: the host's module
    Doctor doctor(whole);
    DoctorVerdict verdict = doctor.Run();
    if (report != nullptr) *report = doctor.report().Render(options.json);
    return verdict;
}

Report JudgeSettings(const std::string& readFrom, const std::string& installFolder) {
    const DoctorOptions options;
    const InstallFolderRedirect folder(installFolder);
    const SettingsReadRedirect redirect(readFrom);
    Doctor doctor(options);
    return doctor.RunSettingsChecks();
}

int RunDoctor(const DoctorOptions& options) {
    std::string report;
    const DoctorVerdict verdict = Diagnose(options, &report);
    Utf8Console console;
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    return verdict.exitCode;
}

}  // namespace kestar::tools
