// The doctor runs the module's own start-up rules in this process (the module's
// sources are linked in: the install-folder lookup, the settings reader, the port
// line scan and role table, the line-setting checks, the COM driver and the arm
// library loader), behind guards that keep every write away from the disk and the
// registry.
#include "doctor.h"

#include "doctor_system.h"
#include "host_commands.h"
#include "loaded_module.h"

#include "host/start_up.h"
#include "log/interface_log.h"
#include "platform/arm_library.h"
#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "serial/com_driver.h"
#include "serial/port.h"
#include "serial/port_manager.h"
#include "settings/install_directory.h"
#include "settings/regkey.h"
#include "settings/settings_file.h"

#include "kestar_source.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestar::host {
namespace {

constexpr int kPortKeys = 6;
constexpr const char* kDash = " \xE2\x80\x94 ";  // " — "
constexpr const char* kArmGuardError = "errorCode 1001 \"Interface Error\"";

enum class Level { kOk, kWarn, kFail };

const char* LevelName(Level level) {
    switch (level) {
        case Level::kOk: return "OK";
        case Level::kWarn: return "WARN";
        default: return "FAIL";
    }
}

struct Check {
    Level level = Level::kOk;
    std::string name;
    std::string found;
    std::string todo;
    std::vector<std::pair<std::string, std::string>> fields;  // further JSON members, values already JSON
    bool startUpPath = false;  // a FAIL here can be the reason start-up returns 0

    Check& Set(Level newLevel, const std::string& newFound, const std::string& newTodo = std::string()) {
        level = newLevel;
        found = newFound;
        todo = newTodo;
        return *this;
    }
    Check& Add(const std::string& key, const std::string& jsonValue) {
        fields.emplace_back(key, jsonValue);
        return *this;
    }
    Check& Text(const std::string& key, const std::string& text) { return Add(key, JsonString(text)); }
    Check& Int(const std::string& key, long value) { return Add(key, std::to_string(value)); }
};

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string StatusText(std::int32_t status) {
    return std::to_string(status) + " \"" + serial::StatusMessage(status) + "\"";
}

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

// How start-up would end, as far as the checks so far tell.
struct StartUpOutcome {
    bool ended = false;  // OpenPortSlots would return 0
    std::size_t endingCheck = 0;
    bool errorSet = false;  // a port failure writes errorCode and errorText; a missing key does not
    std::int32_t errorCode = 0;
};

// ---- Guards: what the module's code would write goes nowhere -----------------

platform::RegistryOps systemRegistry;

// On POSIX the store makes a predefined root's folder when it is first opened; a
// store without that folder has no App Paths entry, and is left as it is.
bool RootPresent(platform::RegHandle key) {
#if defined(_WIN32)
    (void)key;
    return true;
#else
    if (key != platform::kHkeyLocalMachine) return true;
    const std::string store = platform::RegistryStoreFolder();
    struct stat info {};
    return !store.empty() && ::stat((store + "/hkey_local_machine").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

long GuardOpenKeyEx(platform::RegHandle root, const char* path, std::uint32_t options, std::uint32_t access,
                    platform::RegHandle* result) {
    if (!RootPresent(root)) {
        *result = 0;
        return platform::kRegFileNotFound;
    }
    return systemRegistry.OpenKeyEx(root, path, options, access, result);
}
long GuardOpenKey(platform::RegHandle parent, const char* subKey, platform::RegHandle* result) {
    if (!RootPresent(parent)) {
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

platform::FileHandle RefuseOpenExclusive(const char*, bool) { return platform::kInvalidFile; }

void DropTrace(const char*) {}

class WriteGuards {
public:
    WriteGuards()
        : registry_(Guarded(platform::Registry())),
          files_(Guarded(platform::Files())),
          previousTrace_(platform::InstallTraceWriter(DropTrace)) {}
    ~WriteGuards() { platform::InstallTraceWriter(previousTrace_); }

private:
    static platform::RegistryOps Guarded(const platform::RegistryOps& system) {
        systemRegistry = system;
        platform::RegistryOps ops = system;
        ops.OpenKeyEx = GuardOpenKeyEx;
        ops.OpenKey = GuardOpenKey;
        ops.CreateKeyEx = RefuseCreateKeyEx;
        ops.CreateKey = RefuseCreateKey;
        ops.DeleteKey = RefuseDeleteKey;
        ops.SetValueEx = RefuseSetValueEx;
        return ops;
    }
    static platform::FileOps Guarded(const platform::FileOps& system) {
        platform::FileOps ops = system;
        ops.OpenExclusive = RefuseOpenExclusive;  // the log keeps its lines in memory
        return ops;
    }
    platform::ScopedRegistryOps registry_;
    platform::ScopedFileOps files_;
    platform::TraceWriter previousTrace_;
};

// ---- The report -------------------------------------------------------------

class Doctor {
public:
    explicit Doctor(const DoctorOptions& options) : options_(options) { checks_.reserve(64); }

    int Run() {
        WriteGuards guards;
        CheckModule();
        CheckInstallFolder();
        CheckLog();
        CheckSettings();
        CheckArm();
        return Verdict();
    }

private:
    Check& Add(const std::string& name) {
        checks_.emplace_back();
        checks_.back().name = name;
        return checks_.back();
    }

    // Start-up ends at the check just added; the first such check counts.
    void EndStartUp(bool errorSet, std::int32_t errorCode = 0) {
        if (outcome_.ended) return;
        outcome_.ended = true;
        outcome_.endingCheck = checks_.size() - 1;
        outcome_.errorSet = errorSet;
        outcome_.errorCode = errorCode;
    }

    void CheckModule() {
        LoadedModule module(options_.modulePath);
        Check& m = Add("module");
        m.Text("path", options_.modulePath);
        if (!module.loaded()) {
            m.Set(Level::kFail, module.error(),
                  "give the module's path with --module, or run the kestar-host that lies beside it");
            m.startUpPath = true;
            moduleUnusable_ = true;
            return;
        }
        const std::string version = ModuleFileVersion(options_.modulePath);
#if defined(_WIN32)
        if (version.empty()) {
            m.Set(Level::kWarn, Quoted(options_.modulePath) + " has no version resource",
                  "install the KESTAR.dll of a release build");
        } else if (version != KESTAR_VERSION) {
            m.Set(Level::kWarn, Quoted(options_.modulePath) + " version " + version +
                                    "; these checks are the rules of version " + KESTAR_VERSION,
                  "use the kestar-host of the module's own version");
        } else {
            m.Set(Level::kOk, Quoted(options_.modulePath) + " version " + version);
        }
        const std::string commit = ModuleFileVersion(options_.modulePath, "SourceCommit");
        if (!version.empty()) m.found += ", commit " + (commit.empty() ? std::string("not named") : commit);
        m.Text("version", version).Add("commit", commit.empty() ? "null" : JsonString(commit));
#else
        const std::string commit = ModuleFileVersion(options_.modulePath, "SourceCommit");
        if (version.empty()) {
            m.Set(Level::kOk, Quoted(options_.modulePath) + " (names no version; these checks are the rules of "
                                                            "version " KESTAR_BUILD_TEXT ")");
        } else if (version != KESTAR_VERSION) {
            m.Set(Level::kWarn, Quoted(options_.modulePath) + " version " + version + ", commit " + commit +
                                    "; these checks are the rules of version " + KESTAR_VERSION,
                  "use the kestar-host of the module's own version");
        } else {
            m.Set(Level::kOk, Quoted(options_.modulePath) + " version " + version + ", commit " + commit);
        }
        m.Add("version", version.empty() ? "null" : JsonString(version));
        m.Add("commit", commit.empty() ? "null" : JsonString(commit));
#endif
        Check& e = Add("entry points");
        if (!module.complete()) {
            e.Set(Level::kFail, module.error(), "install a complete KESTAR module");
            e.startUpPath = true;
            moduleUnusable_ = true;
            return;
        }
#if defined(_WIN32)
        // The host takes the entry points by ordinal; each must be the one of its name.
        const bool named = module.Symbol("GetCommData") == reinterpret_cast<void*>(module.getCommData) &&
                           module.Symbol("InitializeCommunications") ==
                               reinterpret_cast<void*>(module.initializeCommunications) &&
                           module.Symbol("TerminateCommunications") ==
                               reinterpret_cast<void*>(module.terminateCommunications);
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

    void CheckInstallFolder() {
        const int administrator = IsAdministrator();
        const std::string entry = std::string("HKEY_LOCAL_MACHINE\\") + kAppPathsKey;
        Check& a = Add("administrator");
        a.Set(Level::kOk, administrator ? "this user counts as an administrator: start-up asks for full access "
                                          "(0xF003F) to the App Paths entry"
                                        : "this user is not an administrator: start-up asks for read access "
                                          "(0x20019) to the App Paths entry");
#if !defined(_WIN32)
        a.found += " (effective user " + std::to_string(::geteuid()) + ")";
#endif
        a.Int("administrator", administrator).Text("access", administrator ? "0xF003F" : "0x20019");

        const std::string standIn = platform::AppPathStandIn();
#if !defined(_WIN32)
        Check& s = Add("registry store");
        const std::string store = platform::RegistryStoreFolder();
        s.Set(Level::kOk, "registry store " + Quoted(store) + (IsFolder(store) ? "" : " (does not exist)") +
                              "; $KESTAR_INSTALL_DIR " + (standIn.empty() ? "is not set" : Quoted(standIn)));
        s.Text("store", store).Add("installDirStandIn", standIn.empty() ? "null" : JsonString(standIn));
#endif
        Check& e = Add("App Paths");
        e.startUpPath = true;
        e.Text("key", entry);
        RegKey key(platform::kHkeyLocalMachine, kAppPathsKey, 0);
        std::string pathValue;
        bool pathUsable = false;
        if (!key.Open()) {
            if (!standIn.empty()) {
                e.Set(Level::kOk, "no App Paths entry " + Quoted(entry) + "; $KESTAR_INSTALL_DIR " +
                                      Quoted(standIn) + " stands in for it");
            } else {
                e.Set(Level::kFail, "no App Paths entry " + Quoted(entry),
#if defined(_WIN32)
                      "run the host's installer, or add the key with a string value Path naming the host's folder"
#else
                      "add the entry with its value Path to the registry store, or set KESTAR_INSTALL_DIR to the "
                      "host's folder"
#endif
                );
            }
        } else {
            RegKey full(platform::kHkeyLocalMachine, kAppPathsKey, 1);
            if (administrator && !full.Open()) {
                e.Set(Level::kFail, "the App Paths entry " + Quoted(entry) +
                                        " refuses the full access that start-up asks for as an administrator",
                      "give Administrators full control of the key");
            } else {
                e.Set(Level::kOk, "App Paths entry " + Quoted(entry));
            }
            Check& v = Add("Path");
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
                pathUsable = true;
            }
        }

        // The decision is the module's own lookup.
        std::string directory;
        const int found = FindInstallDirectory(directory);
        installDirectory = directory;
        Check& f = Add("install folder");
        f.startUpPath = true;
        f.Text("folder", directory).Int("result", found);
        if (found) {
            f.Set(Level::kOk, "install folder " + Quoted(directory));
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

    static std::string TypeName(std::uint32_t type) {
        switch (type) {
            case platform::kRegNone: return "REG_NONE";
            case platform::kRegExpandSz: return "REG_EXPAND_SZ";
            case platform::kRegBinary: return "REG_BINARY";
            case platform::kRegDword: return "REG_DWORD";
            default: return std::to_string(type);
        }
    }

    void CheckLog() {
        const std::string path = LogFilePath();
        const std::string folder = Folder(path);
        Check& d = Add("log folder");
        d.Text("folder", folder);
        if (!IsFolder(folder)) {
            d.Set(Level::kWarn, "the folder " + Quoted(folder) + " does not exist: start-up goes on, but no log is written",
                  "create the folder \"tolvo\" in the install folder");
            return;
        }
        d.Set(Level::kOk, "log folder " + Quoted(folder));
        Check& l = Add("log file");
        l.Text("path", path);
        std::string detail;
        if (!Exists(path)) {
            if (ProbeCreateIn(folder, detail)) {
                l.Set(Level::kOk, "log file " + Quoted(path) + " does not exist yet and can be created");
            } else {
                l.Set(Level::kWarn, "no log file can be created in " + Quoted(folder) + " (" + detail +
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
                                        (holders.empty() ? "" : " (" + holders + ")") +
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
                l.Set(Level::kWarn, "the log file " + Quoted(path) + " cannot be opened (" + detail + ")",
                      "check the file and its folder");
                break;
        }
    }

    void CheckSettings() {
        const std::string path = SettingsFilePath();
        Check& s = Add("settings file");
        s.startUpPath = true;
        s.Text("path", path);
        if (!Exists(path)) {
            s.Set(Level::kFail, "the settings file " + Quoted(path) + " does not exist",
                  "create it with a section [Parameters] holding CreateLogFile and PORT1 to PORT6");
        } else if (FILE* file = std::fopen(path.c_str(), "rb")) {
            std::fclose(file);
            s.Set(Level::kOk, "settings file " + Quoted(path) + " can be read");
        } else {
            s.Set(Level::kFail, "the settings file " + Quoted(path) + " cannot be read (" + std::strerror(errno) + ")",
                  "give the host's users read access to it");
        }
        const bool readable = s.level == Level::kOk;

        // The module's reader, as start-up calls it; its log lines stay in memory.
        std::string values[1 + kPortKeys];
        bool present[1 + kPortKeys] = {};
        int count = 0;
        for (int n = 0; n <= kPortKeys; ++n) {
            const std::string key = n == 0 ? std::string("CreateLogFile") : "PORT" + std::to_string(n);
            present[n] = ReadSetting(values[n], key) != 0;
            count += present[n] ? 1 : 0;
        }
        if (readable) {
            Check& p = Add("section");
            p.startUpPath = true;
            if (count == 0) {
                p.Set(Level::kFail, "section [Parameters]: none of CreateLogFile and PORT1 to PORT6 found",
                      "put the keys under a line [Parameters]");
            } else {
                p.Set(Level::kOk, "section [Parameters]: " + std::to_string(count) + " of CreateLogFile and PORT1 to "
                                                                                    "PORT6 found");
            }
        }

        Check& c = Add("CreateLogFile");
        if (present[0]) {
            const int echo = std::atoi(values[0].c_str());
            c.Set(Level::kOk, "CreateLogFile=" + values[0] + (echo != 0 ? ": values read are echoed into the log"
                                                                         : ": values read are not echoed into the log"));
            c.Text("value", values[0]).Int("echo", echo != 0);
        } else {
            c.Set(Level::kOk, "CreateLogFile missing: values read are not echoed; the log gets \"Cannot find "
                              "'CreateLogFile' in '" + path + "'\"");
            c.Add("value", "null").Int("echo", 0);
        }

        for (int n = 1; n <= kPortKeys; ++n) CheckPortLine(n, present[n], values[n], path);
    }

    void CheckPortLine(int n, bool present, const std::string& value, const std::string& settingsPath) {
        const std::string key = "PORT" + std::to_string(n);
        Check& p = Add(key);
        p.startUpPath = true;
        p.Text("key", key);
        const std::string stop = outcome_.ended ? "not reached (start-up stops at " + checks_[outcome_.endingCheck].name +
                                                      "): "
                                                : std::string();
        if (!present) {
            p.Set(Level::kFail, stop + "missing or empty in " + Quoted(settingsPath) +
                                    ": start-up stops at this key",
                  "add " + key + "=<role> <COM> <baud> <parity> <data bits> <stop bits>, or " + key +
                      "=Spare -1 for a slot without a device");
            p.Add("value", "null").Text("action", "missing");
            EndStartUp(false);
            return;
        }
        const PortLinePlan plan = PlanPortLine(value);
        const PortLine& line = plan.line;
        p.Text("value", value);
        switch (plan.action) {
            case PortLineAction::kNegativeCom:
                p.Set(Level::kOk, stop + Quoted(value) + ": COM " + std::to_string(line.comNumber) +
                                      ", the slot stays without a port");
                p.Text("action", "passed over: negative COM number");
                return;
            case PortLineAction::kUnknownRole:
            case PortLineAction::kRoleTooLong: {
                const bool tooLong = plan.action == PortLineAction::kRoleTooLong;
                p.Set(Level::kWarn, stop + Quoted(value) + ": the role " + Quoted(line.roleName) + (tooLong ? "... is longer than 19 characters" : " is none of the device roles") +
                                        "; start-up passes the line over and opens nothing",
                      "use one of " + RoleList() + " (exactly so), or a COM number of -1 to leave the slot empty");
                p.Text("action", tooLong ? "passed over: role longer than 19 characters" : "passed over: unknown role");
                return;
            }
            default:
                break;
        }
        p.Text("role", RoleName(plan.role)).Text("roleField", RoleFieldName(plan.role));
        if (plan.action == PortLineAction::kComZero) {
            FailPort(p, stop, serial::kInvalidPort, "COM number 0 names no device (" + Quoted(value) + ")",
                     "COM numbers start at 1; -1 leaves the slot without a port");
            return;
        }
        const ComRequest& request = plan.request;
        const std::string com = "COM" + std::to_string(request.comNumber);
        const std::string device = platform::ComDeviceTarget(request.comNumber);
        const std::string settings = std::to_string(request.baudRate) + " " + std::string(1, request.parity) + " " +
                                     std::to_string(request.dataBits) + " " + std::to_string(request.stopBits);
        p.Int("com", request.comNumber).Int("baud", request.baudRate).Text("parity", std::string(1, request.parity));
        p.Int("dataBits", request.dataBits).Int("stopBits", request.stopBits).Add("defaults", Defaults(line));
        p.Text("device", device);
        const std::string where = com + " (\\\\.\\" + com + (device.empty() ? "" : " \xE2\x86\x92 " + device) + ")";

        std::int32_t status = serial::CheckLineSettings(request.baudRate, request.parity, request.stopBits);
        bool opened = false;
        bool deviceOpened = false;
        if (options_.open) {
            // Start-up's own creation, closed at once; nothing is sent.
            serial::Port* port = serial::CreateComPort(request.comNumber - 1, request.baudRate, request.parity,
                                                       request.dataBits, request.stopBits);
            status = port->status;
            // The driver's operations are in place once the device itself opened.
            deviceOpened = port->ops.SetLine == serial::ComSetLine;
            port->ops.Close(port);
            opened = true;
        } else if (DeviceSurelyMissing(device)) {
            status = serial::kNo8250;
        }
        // Start-up holds each port it opened: a second line on the same device finds it in use.
        const auto held = heldBy_.find(request.comNumber);
        if (status == 0 && held != heldBy_.end()) status = serial::kPortInUse;
        p.Add("opened", opened ? "true" : "false");

        const std::string defaults = DefaultsText(line);
        if (status != 0) {
            std::string what;
            std::string todo;
            switch (status) {
                case serial::kNo8250:
                    what = where + " does not exist";
                    todo = "connect the device, or correct the COM number in " + key;
                    break;
                case serial::kPortInUse:
                    if (held != heldBy_.end()) {
                        what = com + " is also the device of " + held->second + ", which start-up holds open";
                    } else {
                        const std::string holders = device.empty() ? std::string() : FileHolders(device);
                        what = com + " is held by another program" +
                               (holders.empty() ? std::string() : " (open in " + holders + ")");
                    }
                    todo = held != heldBy_.end() ? "give " + key + " a device of its own"
                                                 : "close the program that uses " + com + ", or change " + key;
                    break;
                case serial::kIllegalBaudRate:
                    what = "the baud rate " + std::to_string(request.baudRate) + " of " + com + " is refused";
                    todo = "use a rate up to 57600, or 128000 or 256000, in " + key;
                    break;
                case serial::kIllegalParity:
                    what = "the parity " + Quoted(std::string(1, request.parity)) + " of " + com + " is refused";
                    todo = "use E, M, N, O or S (either case) in " + key;
                    break;
                case serial::kIllegalStopBits:
                    what = "the stop bits " + std::to_string(request.stopBits) + " of " + com + " are refused";
                    todo = "use 1 or 2 stop bits in " + key;
                    break;
                default:
                    if (deviceOpened) {
                        what = where + " opened, but the device refused the line settings " + settings;
                        todo = "give " + key + " settings the device supports (a standard baud rate such as 9600 "
                                               "or 19200, 5 to 8 data bits)";
                    } else {
                        what = where + " cannot be opened";
                        todo = "check the device and the program that may use it, or change " + key;
                    }
                    break;
            }
            FailPort(p, stop, status, what + " (" + Quoted(value) + defaults + ")", todo);
            return;
        }
        if (!outcome_.ended) heldBy_[request.comNumber] = key;
        p.Int("status", 0).Text("message", "");
        const std::string role = std::string(RoleName(plan.role)) + " (" + RoleFieldName(plan.role) + ")";
        if (opened) {
            p.Set(Level::kOk, stop + role + " on " + where + " at " + settings +
                                  " opened and closed again" + defaults);
            p.Text("action", "open");
        } else if (!StandardRate(request.baudRate)) {
            p.Set(Level::kWarn, stop + "start-up opens " + role + " on " + where + " at " + settings + defaults +
                                    ", but " + std::to_string(request.baudRate) +
                                    " is no standard rate: only opening the device tells whether it takes it",
                  "run the doctor with --open, or use a standard rate such as 9600 or 19200 in " + key);
            p.Text("action", "open");
        } else {
            p.Set(Level::kOk, stop + "start-up opens " + role + " on " + where + " at " + settings + defaults +
                                  "; the device was not tried (--open tries it)");
            p.Text("action", "open");
        }
    }

    void FailPort(Check& p, const std::string& stop, std::int32_t status,
                  const std::string& what, const std::string& todo) {
        p.Set(Level::kFail, stop + what + ": start-up reports " + StatusText(status), todo);
        p.Text("action", "refused").Int("status", status).Text("message", serial::StatusMessage(status));
        EndStartUp(true, status);
    }

    // A device name that resolves to nothing cannot open; anything else only an open can tell.
    static bool DeviceSurelyMissing(const std::string& device) {
#if defined(_WIN32)
        (void)device;
        return false;
#else
        struct stat info {};
        return !device.empty() && ::stat(device.c_str(), &info) != 0 && errno == ENOENT;
#endif
    }

    // The rates serial drivers commonly name (the Windows CBR_ set); others are a
    // question for the device.
    static bool StandardRate(std::int32_t rate) {
        static const std::int32_t kRates[] = {110,   300,   600,   1200,  2400,   4800,  9600,
                                              14400, 19200, 38400, 57600, 128000, 256000};
        for (std::int32_t standard : kRates) {
            if (rate == standard) return true;
        }
        return false;
    }

    static std::string RoleList() {
        std::string list;
        for (int role = 0; RoleName(role) != nullptr; ++role) {
            if (!list.empty()) list += RoleName(role + 1) != nullptr ? ", " : " or ";
            list += RoleName(role);
        }
        return list;
    }

    static std::vector<std::string> DefaultNames(const PortLine& line) {
        static const char* const kFields[] = {"role", "COM number", "baud rate", "parity", "data bits", "stop bits"};
        std::vector<std::string> names;
        for (int field = line.fields; field < 6; ++field) names.push_back(kFields[field]);
        return names;
    }

    static std::string Defaults(const PortLine& line) {
        std::string json = "[";
        for (const std::string& name : DefaultNames(line)) json += (json.size() > 1 ? "," : "") + JsonString(name);
        return json + "]";
    }

    static std::string DefaultsText(const PortLine& line) {
        const std::vector<std::string> names = DefaultNames(line);
        if (names.empty()) return std::string();
        std::string text = "; defaults for";
        for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? " " : ", ") + names[i];
        return text + " (9600 baud, parity N, 8 data bits, 1 stop bit)";
    }

    void CheckArm() {
        std::string file;
        std::string problem;
        void* handle = platform::OpenSystemArmLibrary(file, problem);
        Check& a = Add("arm library");
        const std::string consequence = "; start-up goes on, and every arm reading ends in " + std::string(kArmGuardError);
        if (handle == nullptr) {
            a.Set(Level::kFail, problem + consequence,
#if defined(_WIN32)
                  "put the arm maker's zuroz.dll beside the host program or on its PATH"
#else
                  "set KESTAR_ARM_LIBRARY to the arm library, or install libzuroz.so where the loader finds it"
#endif
            );
            a.Add("file", "null");
            return;
        }
        struct Recorder {
            void* handle;
            std::vector<std::string> names;
        } recorder{handle, {}};
        const platform::ArmLibrary arm = platform::ResolveArmLibrary(
            [](void* context, const char* name) -> void* {
                auto* r = static_cast<Recorder*>(context);
                void* symbol = platform::ArmLibrarySymbol(r->handle, name);
                if (symbol != nullptr) r->names.emplace_back(name);
                return symbol;
            },
            &recorder);
        std::string names;
        std::string json = "[";
        for (const std::string& name : recorder.names) {
            names += (names.empty() ? "" : ", ") + name;
            json += (json.size() > 1 ? "," : "") + JsonString(name);
        }
        a.Text("file", file).Add("calls", json + "]");
        const std::string missing = platform::MissingArmCalls(arm);
        a.Text("missing", missing);
        if (!missing.empty()) {
            a.Set(Level::kFail, "the arm library " + Quoted(file) + " lacks " + missing + " (has " +
                                    (names.empty() ? std::string("none") : names) + ")" + consequence,
                  "install the arm maker's library with all five calls");
            return;
        }
        a.Set(Level::kOk, "arm library " + Quoted(file) + ": " + names);
        if (options_.arm) ArmReading();
    }

    void ArmReading() {
        Check& r = Add("arm reading");
        const std::string problem = platform::LoadArmLibrary();
        if (!problem.empty()) {
            r.Set(Level::kFail, problem, "install the arm maker's library with all five calls");
            return;
        }
        try {
            platform::ArmAprePorta(kArmPortName);
            char tablePath[kArmTablePathSize];
            std::strncpy(tablePath, kArmTablePath, sizeof tablePath - 1);
            tablePath[sizeof tablePath - 1] = '\0';
            platform::ArmLeggeParametri(tablePath);
            double reading[26] = {};
            int status = 0;
            platform::ArmLeggeQuota(reading, &status);
            platform::ArmChiudePorta();
            char text[160];
            std::snprintf(text, sizeof text, "one reading through %s: position %.3f %.3f %.3f, arm status %d",
                          kArmPortName, reading[0], reading[1], reading[2], status);
            r.Set(Level::kOk, text);
            char point[96];
            std::snprintf(point, sizeof point, "[%.6f,%.6f,%.6f]", reading[0], reading[1], reading[2]);
            r.Add("position", point).Int("armStatus", status);
        } catch (const std::exception& error) {
            r.Set(Level::kFail, std::string("the arm reading through ") + kArmPortName + " failed: " + error.what(),
                  "check the arm's cable and power, and that no other program uses " + std::string(kArmPortName));
            try {
                platform::ArmChiudePorta();
            } catch (...) {
            }
        }
    }

    int Verdict() {
        Check verdict;
        verdict.name = "verdict";
        std::string reasonName;
        const Check* reason = nullptr;
        if (moduleUnusable_ || outcome_.ended) {
            const std::size_t last = moduleUnusable_ ? checks_.size() - 1 : outcome_.endingCheck;
            for (std::size_t i = 0; i <= last && reason == nullptr; ++i) {
                if (checks_[i].startUpPath && checks_[i].level == Level::kFail) reason = &checks_[i];
            }
        }
        if (moduleUnusable_) {
            verdict.Set(Level::kFail, "the host cannot call InitializeCommunications: " + reason->found, reason->todo);
            verdict.Add("result", "null").Text("reason", reason->name).Add("errorCode", "null").Add("errorText", "null");
        } else if (outcome_.ended) {
            const std::string error = outcome_.errorSet ? "errorCode " + StatusText(outcome_.errorCode)
                                                        : std::string("errorCode and errorText left as they were");
            verdict.Set(Level::kFail, "InitializeCommunications would return 0 (" + error + "); first reason: " +
                                          reason->name + ": " + reason->found,
                        reason->todo);
            verdict.Int("result", 0).Text("reason", reason->name);
            if (outcome_.errorSet) {
                verdict.Int("errorCode", outcome_.errorCode).Text("errorText", serial::StatusMessage(outcome_.errorCode));
            } else {
                verdict.Add("errorCode", "null").Add("errorText", "null");
            }
        } else {
            int fails = 0;
            int warnings = 0;
            for (const Check& check : checks_) {
                fails += check.level == Level::kFail ? 1 : 0;
                warnings += check.level == Level::kWarn ? 1 : 0;
            }
            std::string found = "InitializeCommunications would return 1";
            if (!options_.open) found += " if the devices open (--open tries them)";
            if (fails + warnings > 0) {
                found += "; " + std::to_string(fails) + " FAIL and " + std::to_string(warnings) +
                         " WARN above do not stop start-up";
            }
            verdict.Set(Level::kOk, found);
            verdict.Int("result", 1).Add("reason", "null").Add("errorCode", "null").Add("errorText", "null");
        }
        verdict.Add("devicesTried", options_.open ? "true" : "false");
        checks_.push_back(verdict);
        Print();
        return verdict.level == Level::kOk ? 0 : 1;
    }

    void Print() const {
        if (!options_.json) PrepareConsole();
        for (const Check& check : checks_) {
            std::string line;
            if (options_.json) {
                line = "{\"check\":" + JsonString(check.name) + ",\"level\":" + JsonString(LevelName(check.level)) +
                       ",\"found\":" + JsonString(check.found);
                if (!check.todo.empty()) line += ",\"todo\":" + JsonString(check.todo);
                for (const auto& [name, value] : check.fields) line += "," + JsonString(name) + ":" + value;
                line += "}";
            } else {
                line = std::string(LevelName(check.level)) + " " + check.name + ": " + check.found;
                if (!check.todo.empty()) line += kDash + check.todo;
            }
            line += "\n";
            std::fputs(line.c_str(), stdout);
        }
        std::fflush(stdout);
    }

    const DoctorOptions& options_;
    std::vector<Check> checks_;
    StartUpOutcome outcome_;
    bool moduleUnusable_ = false;
    std::map<std::int32_t, std::string> heldBy_;  // COM number -> the key whose port start-up holds
};

}  // namespace

int RunDoctor(const DoctorOptions& options) { return Doctor(options).Run(); }

}  // namespace kestar::host
