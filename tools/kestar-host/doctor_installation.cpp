// The installation checks: the module and its entry points, the App Paths entry
// and the install folder, the log, the settings file and the arm library.
#include "doctor_checks.h"
#include "doctor_system.h"
#include "kestar_source.h"
#include "loaded_module.h"

#include "host/start_up.h"
#include "log/interface_log.h"
#include "platform/arm_library.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/install_directory.h"
#include "settings/regkey.h"
#include "settings/settings_file.h"

#include <cstdio>
#include <cstdlib>

namespace kestar::tools {
namespace {

std::string Folder(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool IsFolder(const std::string& path) {
    const std::uint32_t attributes = platform::Files().GetFileAttributes(path.c_str());
    return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
}

bool Exists(const std::string& path) {
    return platform::Files().GetFileAttributes(path.c_str()) != platform::kInvalidFileAttributes;
}

std::string TypeName(std::uint32_t type) {
    switch (type) {
        case platform::kRegNone: return "REG_NONE";
        case platform::kRegExpandSz: return "REG_EXPAND_SZ";
        case platform::kRegBinary: return "REG_BINARY";
        case platform::kRegDword: return "REG_DWORD";
        default: return std::to_string(type);
    }
}

const std::string kArmGuardError =
    "errorCode " + std::to_string(KESTAR_INTERFACE_ERROR_CODE) + " \"" KESTAR_INTERFACE_ERROR_TEXT "\"";

#if defined(_WIN32)
// "Tolvo6.exe": the program whose App Paths entry start-up reads.
std::string HostProgramName() {
    const std::string key = kAppPathsKey;
    return key.substr(key.find_last_of('\\') + 1);
}

std::string InFolder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    const char last = folder.back();
    return folder + (last == '\\' || last == '/' ? "" : std::string(1, Separator())) + name;
}

std::string VersionAndCommit(const std::string& module) {
    const std::string version = ModuleFileVersion(module);
    const std::string commit = ModuleFileVersion(module, "SourceCommit");
    return (version.empty() ? std::string("no version") : "version " + version) + ", commit " +
           (commit.empty() ? std::string("not named") : commit);
}
#endif

}  // namespace

std::string ModuleTheHostLoads() {
#if defined(_WIN32)
    std::string folder;
    if (FindInstallDirectory(folder)) {
        const std::string module = InFolder(folder, ModuleFileName());
        if (Exists(module)) return module;
    }
#endif
    return DefaultModulePath();
}

void Doctor::ChooseModule() {
    std::string folder;
    if (FindInstallDirectory(folder)) hostFolder_ = folder;
    modulePath_ = options_.modulePath.empty() ? ModuleTheHostLoads() : options_.modulePath;
}

void Doctor::CheckModule() {
    LoadedModule module(modulePath_);
    Check& m = report_.Add("module");
    m.Text("path", modulePath_);
    if (!module.loaded()) {
        m.Set(Level::kFail, SystemText(module.error()),
#if defined(_WIN32)
              !hostFolder_.empty() ? "copy " + std::string(ModuleFileName()) + " into the host's folder " +
                                         Quoted(hostFolder_) + " (or run the KESTAR installer)"
                                   :
#endif
                                   std::string("give the module's path with --module, or run the kestar-host that "
                                               "lies beside it"));
        m.startUpPath = true;
        moduleUnusable_ = true;
        return;
    }
    const std::string version = ModuleFileVersion(modulePath_);
    const std::string commit = ModuleFileVersion(modulePath_, "SourceCommit");
    const std::string versionAndCommit = version + ", commit " + (commit.empty() ? std::string("not named") : commit);
    if (version.empty()) {
#if defined(_WIN32)
        m.Set(Level::kWarn, Quoted(modulePath_) + " has no version resource",
              "install the KESTAR.dll of a release build");
#else
        m.Set(Level::kOk, Quoted(modulePath_) + " (names no version; these checks are the rules of "
                                                        "version " KESTAR_BUILD_TEXT ")");
#endif
    } else if (version != KESTAR_VERSION) {
        m.Set(Level::kWarn, Quoted(modulePath_) + " version " + versionAndCommit +
                                "; these checks are the rules of version " + KESTAR_VERSION,
              "use the kestar-host of the module's own version");
    } else {
        m.Set(Level::kOk, Quoted(modulePath_) + " version " + versionAndCommit);
    }
    if (version.empty()) m.Null("version"); else m.Text("version", version);
    if (commit.empty()) m.Null("commit"); else m.Text("commit", commit);
    Check& e = report_.Add("entry points");
    if (!module.complete()) {
        e.Set(Level::kFail, SystemText(module.error()), "install a complete KESTAR module");
        e.startUpPath = true;
        moduleUnusable_ = true;
        return;
    }
#if defined(_WIN32)
    // The host takes the entry points by ordinal; each must be the one of its name.
    const bool named =
        module.Symbol("GetCommData") == reinterpret_cast<void*>(module.getCommData) &&
        module.Symbol("InitializeCommunications") == reinterpret_cast<void*>(module.initializeCommunications) &&
        module.Symbol("TerminateCommunications") == reinterpret_cast<void*>(module.terminateCommunications);
    if (!named) {
        e.Set(Level::kFail, "ordinals 10, 12 and 14 are not GetCommData, InitializeCommunications and "
                            "TerminateCommunications",
              "install a KESTAR.dll built with its module definition (kestar.def)");
        e.startUpPath = true;
        moduleUnusable_ = true;
        return;
    }
    e.Set(Level::kOk, "GetCommData @10, InitializeCommunications @12, TerminateCommunications @14");
#else
    e.Set(Level::kOk, "GetCommData, InitializeCommunications, TerminateCommunications (by name: a shared "
                      "object has no ordinals)");
#endif
}

void Doctor::CheckInstallFolder() {
    const int administrator = CheckAdministrator();
    const std::string standIn = platform::AppPathStandIn();
#if !defined(_WIN32)
    Check& s = report_.Add("registry store");
    const std::string store = platform::RegistryStoreFolder();
    s.Set(Level::kOk, "registry store " + Quoted(store) + (IsFolder(store) ? "" : " (does not exist)") +
                          "; $KESTAR_INSTALL_DIR " + (standIn.empty() ? "is not set" : Quoted(standIn)));
    s.Text("store", store);
    if (standIn.empty()) {
        s.Null("installDirStandIn");
    } else {
        s.Text("installDirStandIn", standIn);
    }
#endif
    std::string pathValue;
    const bool pathUsable = CheckAppPathsEntry(administrator != 0, standIn, pathValue);

    // The decision is the module's own lookup.
    std::string directory;
    const int found = FindInstallDirectory(directory);
    installDirectory = directory;
    Check& f = report_.Add("install folder");
    f.startUpPath = true;
    f.Text("folder", directory).Int("result", found);
    const std::string outOfReach = InstallDirectoryOutOfReach(pathUsable ? pathValue : standIn);
    if (found) {
        f.Set(Level::kOk, "install folder " + Quoted(directory));
    } else if (!outOfReach.empty()) {
        f.Set(Level::kFail, "the install folder cannot be used: " + outOfReach,
              "move the host's folder to a path of at most " +
                  std::to_string(platform::kMaxPathChars - std::string(kLogFilePath).size()) +
                  " characters that are all in the system's ANSI code page, and set Path to it");
    } else if (pathUsable) {
        f.Set(Level::kFail, "the folder " + Quoted(pathValue) + " named by Path does not exist",
              "create the folder, or correct Path in the App Paths entry");
    } else if (!standIn.empty()) {
        f.Set(Level::kFail, "the folder " + Quoted(standIn) + " named by $KESTAR_INSTALL_DIR does not exist",
              "create the folder, or correct KESTAR_INSTALL_DIR");
    } else {
        f.Set(Level::kFail, "no install folder: start-up goes on with none and looks for its files at " +
                                Quoted(SettingsFilePath()),
              "give the App Paths entry a value Path naming the host's folder");
    }
}

int Doctor::CheckAdministrator() {
    const int administrator = IsAdministrator();
    Check& a = report_.Add("administrator");
    a.Set(Level::kOk, std::string(administrator ? "this user counts as an administrator: start-up asks for full "
                                                  "access (0xF003F) to the App Paths entry"
                                                : "this user is not an administrator: start-up asks for read "
                                                  "access (0x20019) to the App Paths entry") +
                          EffectiveUser());
    a.Int("administrator", administrator).Text("access", administrator ? "0xF003F" : "0x20019");
    return administrator;
}

// The App Paths entry and, when it opens, its value Path: true with pathValue when
// Path is a non-empty string.
bool Doctor::CheckAppPathsEntry(bool administrator, const std::string& standIn, std::string& pathValue) {
    const std::string entry = std::string("HKEY_LOCAL_MACHINE\\") + kAppPathsKey;
    Check& e = report_.Add("App Paths");
    e.startUpPath = true;
    e.Text("key", entry);
    const std::string view = RegistryView();
    if (view.empty()) {
        e.Null("registryView");
    } else {
        e.Text("registryView", view);
    }
    const std::string where = Quoted(entry) + (view.empty() ? "" : " in " + view);
    RegKey key(platform::kHkeyLocalMachine, kAppPathsKey, 0);
    if (!key.Open()) {
        if (!standIn.empty()) {
            e.Set(Level::kOk, "no App Paths entry " + where + "; $KESTAR_INSTALL_DIR " + Quoted(standIn) +
                                  " stands in for it");
        } else {
            e.Set(Level::kFail, "no App Paths entry " + where,
#if defined(_WIN32)
                  "run the host's installer, or add the key with a string value Path naming the host's folder" +
                      std::string(view.empty() ? "" : ", in " + view)
#else
                  "add the entry with its value Path to the registry store, or set KESTAR_INSTALL_DIR to the "
                  "host's folder"
#endif
            );
        }
        return false;
    }
    RegKey full(platform::kHkeyLocalMachine, kAppPathsKey, 1);
    if (administrator && !full.Open()) {
        e.Set(Level::kFail, "the App Paths entry " + where +
                                " refuses the full access that start-up asks for as an administrator",
              "give Administrators full control of the key");
    } else {
        e.Set(Level::kOk, "App Paths entry " + where);
    }
    return CheckPathValue(key, pathValue);
}

bool Doctor::CheckPathValue(RegKey& key, std::string& pathValue) {
    Check& v = report_.Add("Path");
    v.startUpPath = true;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const long status = platform::Registry().QueryValueEx(key.handle(), kAppPathValue, &type, nullptr, &size);
    if (status == platform::kRegFileNotFound) {
        v.Set(Level::kFail, "the App Paths entry has no value \"Path\"",
              "add a string value (REG_SZ) Path naming the host's folder");
    } else if (status != platform::kRegSuccess) {
        v.Set(Level::kFail, "the value \"Path\" cannot be read (error " + std::to_string(status) + ")",
              "repair the App Paths entry with the host's installer");
    } else if (type != platform::kRegSz) {
        v.Set(Level::kFail, "the value \"Path\" is of type " + TypeName(type) + "; start-up reads only REG_SZ",
              "make Path a plain string value (REG_SZ) naming the host's folder");
        v.Int("type", static_cast<long>(type));
    } else if (!key.QueryString(pathValue, kAppPathValue) || pathValue.empty()) {
        v.Set(Level::kFail, "the value \"Path\" is empty", "set Path to the host's folder");
    } else {
        v.Set(Level::kOk, "Path = " + Quoted(pathValue));
        v.Text("value", pathValue);
        return true;
    }
    return false;
}

// The host program loads the module from its own folder, the one App Paths names:
// that file, not one beside this tool, is what start-up will run.
void Doctor::CheckHostFolder() {
#if defined(_WIN32)
    if (installDirectory.empty()) return;
    const std::string folder = installDirectory;
    const std::string program = InFolder(folder, HostProgramName());
    Check& h = report_.Add("host program");
    h.Text("path", program);
    if (Exists(program)) {
        h.Set(Level::kOk, HostProgramName() + " in the install folder " + Quoted(folder));
    } else {
        h.Set(Level::kFail, "no " + HostProgramName() + " in " + Quoted(folder) +
                                ", the folder the App Paths entry names: the host does not run from there",
              "correct Path in the App Paths entry to the folder of " + HostProgramName() +
                  ", or install the host there");
        hostFailures_.push_back(report_.checks().size() - 1);
    }
    const std::string module = InFolder(folder, ModuleFileName());
    Check& m = report_.Add("host module");
    m.Text("path", module);
    if (!Exists(module)) {
        m.Set(Level::kFail, "no " + std::string(ModuleFileName()) + " in the host's folder " + Quoted(folder) +
                                ": the host loads it from there" +
                                (Exists(modulePath_) ? "; " + Quoted(modulePath_) + " is elsewhere" : ""),
              "copy " + std::string(ModuleFileName()) + " into " + Quoted(folder) + " (or run the KESTAR installer)");
        m.Null("version").Null("commit");
        hostFailures_.push_back(report_.checks().size() - 1);
        return;
    }
    const std::string version = ModuleFileVersion(module);
    const std::string commit = ModuleFileVersion(module, "SourceCommit");
    if (version.empty()) m.Null("version"); else m.Text("version", version);
    if (commit.empty()) m.Null("commit"); else m.Text("commit", commit);
    // Another module beside this tool, or the one given with --module, that is not the host's.
    std::string other = WholePath(modulePath_);
    const std::string beside = InFolder(ProgramDirectory(), ModuleFileName());
    if (other == module && Exists(beside)) other = beside;
    if (other == module || SameFileBytes(other, module)) {
        m.Set(Level::kOk, "the host loads " + Quoted(module) + " " + VersionAndCommit(module));
    } else {
        m.Set(Level::kWarn, "the host loads " + Quoted(module) + " " + VersionAndCommit(module) + ", not " +
                                Quoted(other) + " " + VersionAndCommit(other) + ", which differs from it",
              "copy the module you mean into " + Quoted(folder) + " (or run the KESTAR installer); kestar-host "
              "--module " + Quoted(module) + " doctor checks the host's own");
        m.Text("other", other);
    }
#endif
}

// The arm maker's library reads its table from a fixed path that start-up hands it.
void Doctor::CheckArmTable() {
#if defined(_WIN32)
    Check& t = report_.Add("arm table");
    t.Text("path", kArmTablePath);
    if (armIsBench_ && options_.bench) {
        t.Set(Level::kOk, std::string("not looked for: the bench arm simulator reads no table (") + kArmTablePath + ")");
    } else if (Exists(kArmTablePath)) {
        t.Set(Level::kOk, std::string("arm table ") + Quoted(kArmTablePath));
    } else {
        t.Set(Level::kWarn, std::string("no arm table ") + Quoted(kArmTablePath) +
                                ": start-up hands this file to the arm library, which measures wrongly or not at all "
                                "without it",
              std::string("install the arm maker's table for this arm as ") + kArmTablePath);
    }
#endif
}

void Doctor::CheckLog() {
    const std::string path = LogFilePathIn(installDirectory);
    const std::string folder = Folder(path);
    Check& d = report_.Add("log folder");
    d.Text("folder", folder);
    if (platform::HoldingFolderRefused(path.c_str())) {
        d.startUpPath = true;
        d.Set(Level::kFail, "the log folder " + Quoted(folder) + " is a link or junction to a folder elsewhere, or no "
                                "folder: start-up refuses it, writes no log and reads no settings file there",
              "put a real folder \"tolvo\" in the install folder in place of the link, holding the settings file");
        return;
    }
    if (!IsFolder(folder)) {
        d.Set(Level::kWarn, "the folder " + Quoted(folder) + " does not exist: start-up goes on, but no log is written",
              "create the folder \"tolvo\" in the install folder");
        return;
    }
    d.Set(Level::kOk, "log folder " + Quoted(folder));
    Check& l = report_.Add("log file");
    l.Text("path", path);
    std::string detail;
    if (!Exists(path)) {
        if (ProbeCreateIn(folder, detail)) {
            l.Set(Level::kOk, "log file " + Quoted(path) + " does not exist yet and can be created");
        } else {
            l.Set(Level::kWarn, "no log file can be created in " + Quoted(folder) + " (" + SystemText(detail) +
                                    "): start-up goes on, but no log is written",
                  "give the host's users write access to the folder");
        }
        return;
    }
    switch (ProbeExistingFile(path, detail)) {
        case FileAccess::kWritable:
            l.Set(Level::kOk, "log file " + Quoted(path) + " can be written (start-up empties it)");
            break;
        case FileAccess::kHeld: {
            const std::string holders = FileHolders(path);
            l.Set(Level::kWarn, "the log file " + Quoted(path) + " is held by another process" +
                                    (holders.empty() ? "" : " (" + SystemText(holders) + ")") +
                                    ": start-up can neither empty nor write it",
                  "close the program that holds the log file");
            l.Text("heldBy", holders);
            break;
        }
        case FileAccess::kDenied:
            l.Set(Level::kWarn, "this user may not write the log file " + Quoted(path) +
                                    ": start-up goes on, but no log is written",
                  "give the host's users write access to the log file");
            break;
        case FileAccess::kFolder:
            l.Set(Level::kWarn, "a folder stands where the log file " + Quoted(path) +
                                    " should be: start-up goes on, but no log is written",
                  "remove or rename that folder");
            break;
        default:
            l.Set(Level::kWarn, "the log file " + Quoted(path) + " cannot be opened (" + SystemText(detail) + ")",
                  "check the file and its folder");
            break;
    }
}

namespace {

// The arm library's calls resolved from handle as the module resolves them; names
// receives the names they were found under, in the order they were found.
platform::ArmLibrary ResolveNamingCalls(void* handle, std::vector<std::string>& names) {
    struct Recorder {
        void* handle;
        std::vector<std::string>* names;
    } recorder{handle, &names};
    return platform::ResolveArmLibrary(
        [](void* context, const char* name) -> void* {
            auto* r = static_cast<Recorder*>(context);
            void* symbol = platform::ArmLibrarySymbol(r->handle, name);
            if (symbol != nullptr) r->names->emplace_back(name);
            return symbol;
        },
        &recorder);
}

}  // namespace

void Doctor::CheckArmLibrary() {
    // The file the host program would load: the module's folder and the host's
    // folder (the App Paths folder) decide, not where this tool lies.
    std::string problem;
    const std::vector<std::string> candidates =
        platform::ArmLibraryCandidates(Folder(modulePath_), installDirectory);
    void* handle = OpenArmLibraryAsTheHost(Folder(modulePath_), installDirectory, armFile_, problem);
    Check& a = report_.Add("arm library");
    nlohmann::ordered_json looked = nlohmann::ordered_json::array();
    for (const std::string& candidate : candidates) looked.push_back(SystemText(candidate));
    a.Json("candidates", looked);
    const std::string consequence = "; start-up goes on, but every arm reading ends in " + kArmGuardError;
    if (handle == nullptr) {
        a.Set(Level::kFail, SystemText(problem) + consequence,
#if defined(_WIN32)
              "put the arm maker's zuroz.dll in the host program's folder " + Quoted(installDirectory)
#else
              "set KESTAR_ARM_LIBRARY to the arm library, or install libzuroz.so where the loader finds it"
#endif
        );
        a.Null("file");
        mainJobFailures_.push_back(report_.checks().size() - 1);
        return;
    }
    std::vector<std::string> found;
    const platform::ArmLibrary arm = ResolveNamingCalls(handle, found);
    std::string names;
    nlohmann::ordered_json calls = nlohmann::ordered_json::array();
    for (const std::string& name : found) {
        names += (names.empty() ? "" : ", ") + name;
        calls.push_back(name);
    }
    a.Text("file", armFile_).Json("calls", calls);
    const std::string missing = platform::MissingArmCalls(arm);
    a.Text("missing", missing);
    if (!missing.empty()) {
        a.Set(Level::kFail, "the arm library " + Quoted(armFile_) + " lacks " + missing + " (has " +
                                (names.empty() ? std::string("none") : names) + ")" + consequence,
              "install the arm maker's library with all five calls");
        mainJobFailures_.push_back(report_.checks().size() - 1);
        return;
    }
    armIsBench_ = IsBenchArmSimulator(armFile_);
    a.Flag("benchSimulator", armIsBench_);
    if (armIsBench_ && !options_.bench) {
        a.Set(Level::kFail, Quoted(armFile_) + " is the bench arm simulator, not the arm maker's library: every "
                                "reading it gives is made up",
              "put the arm maker's library in its place; on a test bench, run the doctor with --bench");
        mainJobFailures_.push_back(report_.checks().size() - 1);
        return;
    }
    armUsable_ = true;
    a.Set(Level::kOk, "the host loads the arm library " + Quoted(armFile_) + ": " + names +
                          (armIsBench_ ? " (the bench arm simulator; --bench: a test bench is meant)" : ""));
}

void Doctor::CheckSettings() {
    const std::string path = SettingsFilePath();
    Check& s = report_.Add("settings file");
    s.startUpPath = true;
    s.Text("path", path);
    std::string detail;
    if (!Exists(path)) {
        s.Set(Level::kFail, "the settings file " + Quoted(path) + " does not exist",
              std::string("create it with a section [") + kSettingsSection + "] holding " + kCreateLogFileKey +
                  " and " + PortKey(1) + " to " + PortKey(kPortKeyCount));
    } else if (CanRead(path, detail)) {
        s.Set(Level::kOk, "settings file " + Quoted(path) + " can be read");
    } else {
        s.Set(Level::kFail, "the settings file " + Quoted(path) + " cannot be read (" + SystemText(detail) + ")",
              "give the host's users read access to it");
    }
    const bool readable = s.level == Level::kOk;
    const std::string keys = std::string(kCreateLogFileKey) + " and " + PortKey(1) + " to " + PortKey(kPortKeyCount);

    // The module's reader, as start-up calls it; its log lines stay in memory.
    std::string values[1 + kPortKeyCount];
    bool present[1 + kPortKeyCount] = {};
    int count = 0;
    for (int n = 0; n <= kPortKeyCount; ++n) {
        present[n] = ReadSetting(values[n], n == 0 ? std::string(kCreateLogFileKey) : PortKey(n)) != 0;
        count += present[n] ? 1 : 0;
    }
    if (readable) {
        Check& p = report_.Add("section");
        p.startUpPath = true;
        if (count == 0) {
            p.Set(Level::kFail, std::string("section [") + kSettingsSection + "]: none of " + keys + " found",
                  std::string("put the keys under a line [") + kSettingsSection + "]");
        } else {
            p.Set(Level::kOk, std::string("section [") + kSettingsSection + "]: " + std::to_string(count) + " of " +
                                  keys + " found");
        }
    }

    Check& c = report_.Add(kCreateLogFileKey);
    if (present[0]) {
        const int echo = std::atoi(values[0].c_str());
        c.Set(Level::kOk, std::string(kCreateLogFileKey) + "=" + SystemText(values[0]) +
                              (echo != 0 ? ": values read are echoed into the log"
                                         : ": values read are not echoed into the log"));
        c.Text("value", values[0]).Int("echo", echo != 0);
    } else {
        c.Set(Level::kOk, std::string(kCreateLogFileKey) + " missing: values read are not echoed; the log gets "
                              "\"Cannot find '" + kCreateLogFileKey + "' in '" + SystemText(path) + "'\"");
        c.Null("value").Int("echo", 0);
    }

    for (int n = 1; n <= kPortKeyCount; ++n) CheckPortLine(n, present[n], values[n], path);
}

void Doctor::CheckArmReading() {
    if (!options_.arm || !armUsable_) return;
    Check& r = report_.Add("arm reading");
    if (!observed_.armError.empty()) {
        r.Set(Level::kFail, std::string("the arm reading through ") + kArmPortName + " failed: " + observed_.armError,
              "check the arm's cable and power, and that no other program uses " + std::string(kArmPortName));
        mainJobFailures_.push_back(report_.checks().size() - 1);
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "one reading through %s: position %.3f %.3f %.3f, arm status %d", kArmPortName,
                  observed_.position[0], observed_.position[1], observed_.position[2], observed_.armStatus);
    r.Set(Level::kOk, text);
    r.Json("position", {observed_.position[0], observed_.position[1], observed_.position[2]});
    r.Int("armStatus", observed_.armStatus);
}

}  // namespace kestar::tools
