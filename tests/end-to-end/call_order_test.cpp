// Call orders and folder shapes nobody listed: a stateful generator drives the built
// module, loaded as the host loads it, through sequences of host steps (load, the
// three entry points, unload) and environment steps between them (the settings file
// rewritten, the App Paths value changed, "tolvo" or the log file replaced by a
// link, a FIFO or a folder, the device of a port line there, gone or held by another
// program, writes of files cut short). After every step it checks what must always hold:
// - the call returned within its bound, with a result the module may give there;
// - only a start-up empties the log file: any other step leaves what it held in
//   place; after a run's shut-down the file holds the run whole, from "Starting
//   Interface DLL" to "Ending Interface DLL";
// - nothing outside the install folder's own "tolvo" changed: a canary tree beside
//   it, which the links lead to, keeps its bytes;
// - descriptors (Linux) or handles (Windows) are back where they were after a
//   shut-down and after an unload, and the heap in use after every sequence is where
//   it settled (a shut-down keeps the trace file open, and lines it could not write
//   for the next log, by design);
// - the doctor, run on the installation just before a start-up, gives the verdict
//   that start-up then gives.
// A failing sequence is shortened to one no step of which can be left out; such
// sequences are kept as rows of kReplays, replayed as they stand.
// $KESTAR_CALL_ORDER_SEQUENCES runs more sequences (scripts/explore).
#include "doctor.h"
#include "loaded_module.h"
#include "platform/registry.h"
#include "support/app_paths.h"
#include "support/scratch_folder.h"
#include "support/scratch_registry.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace kestar::testing {
namespace {

constexpr unsigned kSeed = 23;
constexpr int kSequences = 200;
constexpr int kMaxSteps = 10;
constexpr double kCallBoundSeconds = 5.0;
// Heap the C runtime and the loader keep and reuse: a new block of the exit-function
// list (1,040 bytes, glibc), the loader's module lists, the last settings files the
// profile reader keeps (Windows). A leak of a load or a run outgrows it over a few
// hundred sequences, or over a load's runs.
constexpr long kHeapSlack = 64 * 1024;
// Under AddressSanitizer each load takes a slot of the exit-function list for good
// (measured: 1,040 bytes every two or three sequences, without end): its leak checker
// judges the heap there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedHeap = true;
#else
constexpr bool kSanitizedHeap = false;
#endif
#if defined(_WIN32)
// Measured under Wine with a DLL of a few lines linked as the module is (libgcc and
// libstdc++ static): it leaves 2 handles behind per load and unload, and 2 more in a
// load in which it has thrown an exception. A C DLL leaves none.
constexpr int kRuntimeHandlesPerLoad = 4;
// Measured under Wine the same way: a load and unload of the module leaves 19,296
// bytes of heap in use, a plain static C++ DLL 19,749, a C DLL none.
constexpr long kRuntimeHeapPerLoad = 19296;
// Those runtime handles appear when first needed, inside a load: only an unload is
// compared with its baseline, with that allowance.
constexpr bool kShutDownHandlesFlat = false;
constexpr bool kLinks = false;  // Wine 8 shows a Linux link as what it leads to, and makes no junctions
#else
constexpr int kRuntimeHandlesPerLoad = 0;
constexpr long kRuntimeHeapPerLoad = 0;
constexpr bool kShutDownHandlesFlat = true;
constexpr bool kLinks = true;
#endif

enum class Op { kLoad, kUnload, kInit, kGetCommData, kTerminate, kSettings, kAppPath, kTolvo, kLogFile, kDevice, kWrites };
const char* const kInitVariants[] = {"full", "no-machine", "null"};
const char* const kSettingsVariants[] = {"good", "no-PORT6", "blank-runs", "utf16", "bad-line", "blank-only", "none"};
// "long": a folder name past what the ANSI file calls take (MAX_PATH), naming nothing;
// "expand-sz": the install folder in a value of the type REG_EXPAND_SZ.
const char* const kAppPathVariants[] = {"install", "trailing-separator", "missing", "link", "long", "expand-sz"};
const char* const kTolvoVariants[] = {"folder", "link", "fifo"};
const char* const kLogVariants[] = {"file", "link", "fifo", "folder"};
// PORT3's device: there, gone (its name leads nowhere), held by another program.
const char* const kDeviceVariants[] = {"present", "gone", "held"};
// Writes to files: as usual, cut short a few bytes past the log's end, none past it.
const char* const kWritesVariants[] = {"ok", "short", "full"};
struct OpInfo {
    Op op;
    const char* name;
    int weight;
    int variants;
    const char* const* variantNames;  // null: the variant is a number
};
// What each step's variant means is in the Apply* functions below.
constexpr OpInfo kOps[] = {
    {Op::kLoad, "Load", 3, 1, nullptr},                {Op::kUnload, "Unload", 2, 1, nullptr},
    {Op::kInit, "Init", 5, 3, kInitVariants},          {Op::kGetCommData, "GetCommData", 3, 48, nullptr},
    {Op::kTerminate, "Terminate", 5, 1, nullptr},      {Op::kSettings, "Settings", 3, 7, kSettingsVariants},
    {Op::kAppPath, "AppPath", 2, 6, kAppPathVariants}, {Op::kTolvo, "Tolvo", 2, 3, kTolvoVariants},
    {Op::kLogFile, "LogFile", 2, 4, kLogVariants},     {Op::kDevice, "Device", 2, 3, kDeviceVariants},
    {Op::kWrites, "Writes", 2, 3, kWritesVariants},
};

// The COM number of PORT3's device; where the platform has it, one that is never
// linked stands for a device that is gone.
int DeviceCom() {
    const char* pair = std::getenv("KESTAR_SERIAL_PAIR");  // ctest's pair of COM ports linked to pseudo-terminals
    return !kLinks ? (pair != nullptr ? std::atoi(pair) : 0) : 41;
}
constexpr int kGoneCom = 39;

// Whether this build can make the step: links, FIFOs, a held device and writes cut
// short are Linux's; a device needs ctest's pair under Wine.
bool Available(Op op, int variant) {
    if (op == Op::kDevice && DeviceCom() == 0) return false;
    if (kLinks) return true;
    return !((op == Op::kTolvo && variant != 0) || (op == Op::kLogFile && (variant == 1 || variant == 2)) ||
             (op == Op::kAppPath && variant == 3) || (op == Op::kDevice && variant == 2) || op == Op::kWrites);
}

struct Step {
    Op op;
    int variant;
};
using Sequence = std::vector<Step>;

// Shortened sequences the generator found before their faults were mended.
const char* const kReplays[] = {
    "Load Init:full Terminate Terminate",  // a second shut-down emptied the run's log
    "Tolvo:link Load Init:full",           // a linked tolvo was followed: its settings were read, its log emptied
    "Load",                                // the trace file stayed open at unload
};

std::string Text(const Sequence& sequence) {
    std::string text;
    for (const Step& step : sequence) {
        const OpInfo& info = kOps[static_cast<int>(step.op)];
        text += (text.empty() ? "" : " ") + std::string(info.name);
        if (info.variants > 1) {
            text += ":" + (info.variantNames != nullptr ? std::string(info.variantNames[step.variant]) : std::to_string(step.variant));
        }
    }
    return text;
}

Sequence Parse(const std::string& text) {
    Sequence sequence;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const std::size_t colon = word.find(':');
        const std::string name = word.substr(0, colon);
        const std::string variant = colon == std::string::npos ? "" : word.substr(colon + 1);
        for (const OpInfo& info : kOps) {
            if (name != info.name) continue;
            int v = info.variantNames == nullptr && !variant.empty() ? std::atoi(variant.c_str()) : 0;
            for (int i = 0; info.variantNames != nullptr && i < info.variants; ++i) {
                if (variant == info.variantNames[i]) v = i;
            }
            sequence.push_back(Step{info.op, v});
        }
    }
    return sequence;
}

int KESTAR_CALL NoCallback(InterfaceBlock*, PointList*) { return 1; }

std::string SettingsText(int variant, int device = 0) {  // device: PORT3's COM number, 0 none
    const char* const roles[] = {"Controller", "Probe", "DRO", "Handbox", "Host", "Sensor"};
    std::string text = "[Parameters]\r\nCreateLogFile=1\r\n";
    if (variant == 2 || variant == 5) text += std::string(3000, '\n');
    if (variant == 5) return text;
    for (int n = 1; n <= 6; ++n) {
        if (variant == 1 && n == 6) break;
        const std::string port = n == 3 && device > 0 ? " " + std::to_string(device) + " 9600 N 8 1" : " -1";
        text += "PORT" + std::to_string(n) + "=" + roles[n - 1] + (variant == 4 && n == 2 ? " 39 9600 N 8 1" : port);
        text += variant == 2 ? "\r\n\r\n\r\n" : "\r\n";
    }
    if (variant != 3) return text;
    std::string wide = "\xFF\xFE";
    for (char c : text) wide += std::string{c, '\0'};
    return wide;
}

bool SettingsGood(int variant) { return variant == 0 || variant == 2 || variant == 3; }

// What every sequence shares, set up once for the process: the registry store, the
// trace file, PORT3's device and another program's hold on it. Setting the
// environment anew for each sequence would grow the heap (the C library keeps every
// value it was given), which the heap checks would see.
struct Shared {
    Shared() {
#if !defined(_WIN32)
        device.Open(DeviceCom());
        holder = open(DeviceLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit fails with EFBIG
        SetEnvironment("KESTAR_ARM_LIBRARY", BuiltArmSimulatorPath().c_str());
        SetEnvironment("KESTAR_TRACE", folder.Join("trace.txt").c_str());
#endif
    }
    // Gives the next sequence the device as the first found it.
    void Reset() {
#if !defined(_WIN32)
        std::rename((DeviceLink() + ".gone").c_str(), DeviceLink().c_str());
        flock(holder, LOCK_UN);
#endif
    }
#if !defined(_WIN32)
    std::string DeviceLink() const { return device.devices + "/com" + std::to_string(DeviceCom()); }
    TerminalDevice device;
    int holder = -1;
#endif
    ScratchRegistry registry;
    ScratchFolder folder;
};
Shared& Process() {
    static Shared* shared = new Shared;  // for the process: its folders and device go with it
    return *shared;
}

int moduleLoads = 0;  // by the sequences and the doctor, for the process

enum class Kind { kMissing, kFile, kFolder, kLink, kFifo };
enum class Device { kNone, kPresent, kGone, kHeld };

class Runner {
public:
    Runner() {
        Process();
        install_ = scratch_.Join("install");
        canary_ = scratch_.Join("canary");
        MakeFolder(install_);
        MakeFolder(install_ + Sep() + "tolvo");
        MakeFolder(canary_);
        WriteFileBytes(canary_ + Sep() + "vodrane.ini", SettingsText(0));
        WriteFileBytes(canary_ + Sep() + "TolvoInterface.log", "canary\r\n");
        WriteFileBytes(scratch_.Join("canary.log"), "canary\r\n");
        canaryBytes_ = CanaryBytes();
        WriteFileBytes(Tolvo("vodrane.ini"), SettingsText(0));
        WriteAppPath(install_);
#if defined(_WIN32)
        // Start-up loads the arm library and keeps it for the process: loaded here
        // first, its own handles belong to the baseline, not to the module.
        static const HMODULE arm = LoadLibraryA(BuiltArmSimulatorPath().c_str());
        (void)arm;
        // The host's folder as the doctor expects it: the host program and its module.
        WriteFileBytes(install_ + Sep() + "Tolvo6.exe", "MZ");
        static const std::string module = ReadFileBytes(BuiltModulePath());
        WriteFileBytes(install_ + Sep() + "KESTAR.dll", module);
#endif
        Process().Reset();
        baseline_ = ProcessHandles();
    }
    ~Runner() {
        module_.reset();
        DeleteAppPath();
    }

    // The first invariant the step broke; empty when none.
    std::string Apply(const Step& step) {
        const bool logReadable = tolvo_ == Kind::kFolder && log_ == Kind::kFile;
        const std::string logBefore = logReadable ? ReadFileBytes(Tolvo("TolvoInterface.log")) : "";
        const auto started = std::chrono::steady_clock::now();
        std::string problem;
        switch (step.op) {
            case Op::kLoad: problem = Load(); break;
            case Op::kUnload: problem = Unload(); break;
            case Op::kInit: problem = Init(step.variant); break;
            case Op::kGetCommData: problem = GetCommData(step.variant); break;
            case Op::kTerminate: problem = Terminate(); break;
            default: Environment(step); break;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ++checks;
        if (problem.empty() && seconds > kCallBoundSeconds) problem = "took " + std::to_string(seconds) + " s";
        ++checks;
        if (problem.empty() && CanaryBytes() != canaryBytes_) problem = "a file outside tolvo was changed";
        const bool replaced = step.op == Op::kTolvo || step.op == Op::kLogFile || step.op == Op::kInit;
        if (problem.empty() && logReadable && !replaced && tolvo_ == Kind::kFolder && log_ == Kind::kFile) {
            ++checks;
            const std::string after = ReadFileBytes(Tolvo("TolvoInterface.log"));
            if (after.compare(0, logBefore.size(), logBefore) != 0) {
                problem = "the log lost what it held (" + std::to_string(logBefore.size()) + " bytes, now " +
                          std::to_string(after.size()) + ")";
            }
        }
        if (problem.empty() && (step.op == Op::kUnload || step.op == Op::kTerminate)) problem = HandlesFlat(step.op);
        return problem;
    }

    // Runs a call of the module; under writes cut short, with the file size limit that cuts them.
    template <typename Call>
    auto Module(Call call) {
#if !defined(_WIN32)
        struct rlimit limit {RLIM_INFINITY, RLIM_INFINITY};
        if (writes_ != 0) {
            const std::string log = log_ == Kind::kFile && tolvo_ == Kind::kFolder ? ReadFileBytes(Tolvo("TolvoInterface.log")) : "";
            limit.rlim_cur = log.size() + (writes_ == 1 ? 7 : 0);
            runIntact_ = false;
        }
        setrlimit(RLIMIT_FSIZE, &limit);
#endif
        auto result = call();
#if !defined(_WIN32)
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
#endif
        return result;
    }

    // A state as the model sees it, for counting distinct states.
    // (a number below kStates: counting them allocates nothing, which the heap checks need).
    int State() const {
        int state = (module_ != nullptr) * 2 + running_;
        for (const auto& [value, count] : {std::pair{settings_, 7}, {appPath_, 6}, {static_cast<int>(tolvo_), 5},
                                           {static_cast<int>(log_), 5}, {static_cast<int>(deviceState_), 4}, {writes_, 3}}) {
            state = state * count + value;
        }
        return state;
    }
    static constexpr int kStates = 4 * 7 * 6 * 5 * 5 * 4 * 3;

    int checks = 0;

private:
    static std::string Sep() { return std::string(1, PathSeparator()); }
    std::string Tolvo(const char* name) const { return install_ + Sep() + "tolvo" + Sep() + name; }

    std::string CanaryBytes() const {
        return ReadFileBytes(canary_ + Sep() + "vodrane.ini") + "|" +
               ReadFileBytes(canary_ + Sep() + "TolvoInterface.log") + "|" + ReadFileBytes(scratch_.Join("canary.log"));
    }

    bool InstallUsable() const { return (appPath_ < 2 || appPath_ == 3) && tolvo_ == Kind::kFolder; }
    bool DeviceUsable() const { return deviceState_ == Device::kNone || deviceState_ == Device::kPresent; }
    int DeviceInSettings() const {
        if (deviceState_ == Device::kNone) return 0;
        return deviceState_ == Device::kGone && !kLinks ? kGoneCom : DeviceCom();
    }

    std::string Load() {
        if (module_ != nullptr) return "";
        Module([this] { return (module_ = std::make_unique<tools::LoadedModule>(BuiltModulePath())) != nullptr; });
        loadedHandles_ = ProcessHandles();
        ++loads_;
        ++moduleLoads;
        return module_->complete() ? "" : "load failed: " + module_->error();
    }

    std::string Unload() {
        if (module_ == nullptr) return "";
        Module([this] { module_.reset(); return true; });
        running_ = false;
        return "";
    }

    std::string HandlesFlat(Op op) {
        ++checks;
        const int now = ProcessHandles();
        if (op == Op::kTerminate && kShutDownHandlesFlat && module_ != nullptr && now != loadedHandles_) {
            return "shut-down left " + std::to_string(now - loadedHandles_) + " handles open";
        }
        if (op == Op::kUnload && now > baseline_ + kRuntimeHandlesPerLoad * loads_) {
            return "unload left " + std::to_string(now - baseline_) + " handles open after " + std::to_string(loads_) +
                   " loads";
        }
        return "";
    }

    std::string Init(int variant) {
        if (module_ == nullptr) return "";
        records_ = std::make_unique<HostRecords>();
        InterfaceBlock& block = records_->block();
        block.machine = variant == 1 ? nullptr : &records_->machine();
        block.probe = variant == 1 ? nullptr : &records_->probe();
        block.errorCode = 0;
        const bool compare = !running_ && variant == 0;
        tools::DoctorVerdict doctor;
        std::string report;
        if (compare) {
            tools::DoctorOptions options;
            options.modulePath = BuiltModulePath();
            options.open = true;
            options.json = true;
            doctor = tools::Diagnose(options, &report);
            ++moduleLoads;
        }
        const int result = Module([&] { return module_->initializeCommunications(variant == 2 ? nullptr : &block, 0, NoCallback); });
        if (variant != 2 && InstallUsable() && log_ == Kind::kMissing) log_ = Kind::kFile;  // start-up made it
        if (!running_) runIntact_ = variant != 2 && InstallUsable() && log_ == Kind::kFile && writes_ == 0;
        running_ = running_ || variant != 2;
        const int expected = variant != 2 && InstallUsable() && SettingsGood(settings_) && DeviceUsable() ? 1 : 0;
        if (result != expected) {
            return "start-up gave " + std::to_string(result) + ", expected " + std::to_string(expected) +
                   " (errorCode " + std::to_string(block.errorCode) + ")";
        }
        if (!compare) return "";
        ++checks;
        const bool agree = doctor.result == result && (result == 1 || !doctor.errorSet || doctor.errorCode == block.errorCode);
        return agree ? "" : "the doctor gave " + std::to_string(doctor.result) + " (errorCode " + std::to_string(doctor.errorCode) +
                                ", " + doctor.reason + "), start-up " + std::to_string(result) + " (errorCode " +
                                std::to_string(block.errorCode) + ")\n" + report;
    }

    std::string GetCommData(int variant) {
        if (module_ == nullptr) return "";
        if (records_ == nullptr) records_ = std::make_unique<HostRecords>();
        InterfaceBlock& block = records_->block();
        block.command = variant - 4;
        block.commandParam = variant;
        const int result = Module([&] { return module_->getCommData(&block); });
        if (result == 1 || (result == 0 && block.errorCode == KESTAR_INTERFACE_ERROR_CODE)) return "";
        return "GetCommData gave " + std::to_string(result) + " with errorCode " + std::to_string(block.errorCode);
    }

    std::string Terminate() {
        if (module_ == nullptr) return "";
        const int result = Module([&] { return module_->terminateCommunications(); });
        const bool wasIntact = running_ && runIntact_;
        running_ = false;
        if (result != 1) return "shut-down gave " + std::to_string(result);
        if (!wasIntact || tolvo_ != Kind::kFolder || log_ != Kind::kFile) return "";
        ++checks;
        const std::string log = ReadFileBytes(Tolvo("TolvoInterface.log"));
        const std::string first = "Starting Interface DLL\r\n", last = "Ending Interface DLL\r\n";
        if (log.find(first) == std::string::npos || log.size() < last.size() ||
            log.compare(log.size() - last.size(), last.size(), last) != 0) {
            return "the run's log is not whole: " + log.substr(0, 120);
        }
        return "";
    }

    void Environment(const Step& step) {
        const std::string tolvo = install_ + Sep() + "tolvo";
        const std::string logFile = Tolvo("TolvoInterface.log");
        switch (step.op) {
            case Op::kSettings:
                if (tolvo_ != Kind::kFolder) return;
                settings_ = step.variant;
                if (step.variant == 6) {
                    std::remove(Tolvo("vodrane.ini").c_str());
                } else {
                    WriteFileBytes(Tolvo("vodrane.ini"), SettingsText(step.variant, DeviceInSettings()));
                }
                return;
            case Op::kAppPath: {
                appPath_ = kLinks || step.variant != 3 ? step.variant : 0;
                std::string value = install_;
                if (appPath_ == 1) value += Sep();
                if (appPath_ == 2) value = scratch_.Join("nowhere");
                if (appPath_ == 4) value = scratch_.Join(std::string(300, 'x'));
#if !defined(_WIN32)
                if (appPath_ == 3) {
                    value = scratch_.Join("install-link");
                    symlink(install_.c_str(), value.c_str());
                }
#endif
                WriteAppPath(value, appPath_ == 5 ? platform::kRegExpandSz : platform::kRegSz);
                runIntact_ = false;
                return;
            }
            case Op::kTolvo:
                runIntact_ = false;
                tolvo_ = step.variant == 0 ? Kind::kFolder : step.variant == 1 ? Kind::kLink : Kind::kFifo;
                Replace(tolvo, tolvo_, canary_);
                if (tolvo_ == Kind::kFolder) {
                    WriteFileBytes(Tolvo("vodrane.ini"), SettingsText(settings_ = 0, DeviceInSettings()));
                    log_ = Kind::kMissing;
                }
                return;
            case Op::kLogFile: {
                if (tolvo_ != Kind::kFolder) return;
                runIntact_ = false;
                const Kind kinds[] = {Kind::kFile, Kind::kLink, Kind::kFifo, Kind::kFolder};
                log_ = kinds[step.variant];
                Replace(logFile, log_, scratch_.Join("canary.log"));
                return;
            }
            case Op::kDevice: Devices(step.variant); return;
            case Op::kWrites:
                writes_ = step.variant;
                return;
            default: return;
        }
    }

    void Devices(int variant) {
#if !defined(_WIN32)
        const std::string link = Process().DeviceLink();
        const int holder = Process().holder;
        const Device wanted = variant == 0 ? Device::kPresent : variant == 1 ? Device::kGone : Device::kHeld;
        if (wanted == Device::kGone) {
            std::rename(link.c_str(), (link + ".gone").c_str());
        } else {
            std::rename((link + ".gone").c_str(), link.c_str());
        }
        flock(holder, LOCK_UN);
        // While the module holds the device itself, another program cannot.
        deviceState_ = wanted == Device::kHeld && flock(holder, LOCK_EX | LOCK_NB) != 0 ? Device::kPresent : wanted;
#else
        deviceState_ = variant == 0 ? Device::kPresent : Device::kGone;
#endif
        if (tolvo_ == Kind::kFolder && settings_ != 6) WriteFileBytes(Tolvo("vodrane.ini"), SettingsText(settings_, DeviceInSettings()));
    }

    // Puts a thing of the kind at path, in place of what was there.
    void Replace(const std::string& path, Kind kind, const std::string& linkTarget) {
#if defined(_WIN32)
        (void)linkTarget;
        if (!DeleteFileA(path.c_str())) RemoveTree(path);
        if (kind == Kind::kFolder) MakeFolder(path);
        if (kind == Kind::kFile) WriteFileBytes(path, "");
#else
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) RemoveTree(path); else unlink(path.c_str());
        }
        if (kind == Kind::kFolder) MakeFolder(path);
        if (kind == Kind::kFile) WriteFileBytes(path, "");
        if (kind == Kind::kLink) symlink(linkTarget.c_str(), path.c_str());
        if (kind == Kind::kFifo) mkfifo(path.c_str(), 0666);
#endif
    }

    ScratchFolder scratch_;
    std::string install_, canary_, canaryBytes_;
    std::unique_ptr<tools::LoadedModule> module_;
    std::unique_ptr<HostRecords> records_;
    bool running_ = false, runIntact_ = false;
    int settings_ = 0, appPath_ = 0, baseline_ = 0, loadedHandles_ = 0, loads_ = 0, writes_ = 0;
    Kind tolvo_ = Kind::kFolder, log_ = Kind::kMissing;
    Device deviceState_ = Device::kNone;
};

struct Figures {
    int sequences = 0, steps = 0, checks = 0, failures = 0;
    std::vector<bool> states = std::vector<bool>(Runner::kStates);
};

// Runs the sequence on a fresh installation; the first broken invariant, with its step.
std::string RunSequence(const Sequence& sequence, Figures* figures = nullptr) {
    Runner runner;
    std::string problem;
    std::size_t i = 0;
    for (; i < sequence.size() && problem.empty(); ++i) {
        problem = runner.Apply(sequence[i]);
        if (figures != nullptr) figures->states[static_cast<std::size_t>(runner.State())] = true;
    }
    if (problem.empty()) problem = runner.Apply(Step{Op::kUnload, 0});  // the host's process ends
    if (figures != nullptr) {
        figures->steps += static_cast<int>(i);
        figures->checks += runner.checks;
    }
    return problem.empty() ? "" : "step " + std::to_string(i) + ": " + problem;
}

// Leaves out steps as long as the sequence still fails.
Sequence Shorten(Sequence sequence) {
    for (bool shorter = true; shorter;) {
        shorter = false;
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            Sequence candidate;
            for (std::size_t j = 0; j < sequence.size(); ++j) {
                if (j != i) candidate.push_back(sequence[j]);
            }
            if (!RunSequence(candidate).empty()) {
                sequence = candidate;
                shorter = true;
                break;
            }
        }
    }
    return sequence;
}

Sequence Generate(std::mt19937& random) {
    int total = 0;
    for (const OpInfo& info : kOps) total += info.weight;
    Sequence sequence{Step{Op::kLoad, 0}};
    const int length = 2 + static_cast<int>(random() % kMaxSteps);
    while (static_cast<int>(sequence.size()) < length) {
        int pick = static_cast<int>(random() % static_cast<unsigned>(total));
        for (const OpInfo& info : kOps) {
            if ((pick -= info.weight) >= 0) continue;
            const int variant = static_cast<int>(random() % static_cast<unsigned>(info.variants));
            if (Available(info.op, variant)) sequence.push_back(Step{info.op, variant});
            break;
        }
    }
    return sequence;
}

// What the first start-up of a process takes and keeps for the process (the time
// zone, the arm library's loader entries; under Wine 3 handles, measured; none in
// later ones): a first run takes it out of the counts.
void WarmUp() {
    static const bool done = RunSequence(Parse("Load Init:full GetCommData:4 Terminate")).empty() || true;
    (void)done;
}

TEST(CallOrder, ShortenedSequencesOfMendedFaultsHoldEveryInvariant) {
    WarmUp();
    for (const char* row : kReplays) {
        const Sequence sequence = Parse(row);
        bool available = true;
        for (const Step& step : sequence) available = available && Available(step.op, step.variant);
        if (!available) continue;
        EXPECT_EQ(RunSequence(sequence), "") << row;
    }
}

TEST(CallOrder, GeneratedSequencesHoldEveryInvariant) {
    const char* more = std::getenv("KESTAR_CALL_ORDER_SEQUENCES");
    const int sequences = more != nullptr && std::atoi(more) > 0 ? std::atoi(more) : kSequences;
    WarmUp();
    std::mt19937 random(kSeed);
    Figures figures;
    std::string found;
    found.reserve(4096);
    const long settled = static_cast<long>(HeapInUse());
    for (int n = 0; n < sequences; ++n) {
        const Sequence sequence = Generate(random);
        ++figures.sequences;
        std::string problem = RunSequence(sequence, &figures);
        ++figures.checks;  // every load unloaded: the heap is where it settled
        const long grown = static_cast<long>(HeapInUse()) - settled;
        const long allowed = kHeapSlack + kRuntimeHeapPerLoad * moduleLoads;
        if (problem.empty() && grown > allowed && !kSanitizedHeap) problem = "the heap in use grew by " + std::to_string(grown) + " bytes";
        if (problem.empty()) continue;
        ++figures.failures;
        const Sequence shortest = Shorten(sequence);
        found += "  " + Text(shortest) + "  (" + RunSequence(shortest) + ")\n";
        ADD_FAILURE() << "sequence " << n << ": " << Text(sequence) << "\n" << problem << "\nshortened: " << Text(shortest);
        if (figures.failures >= 5) break;
    }
    const std::string line = std::to_string(figures.sequences) + " sequences from seed " + std::to_string(kSeed) + ", " +
                             std::to_string(figures.steps) + " steps, " + std::to_string(std::count(figures.states.begin(), figures.states.end(), true)) +
                             " distinct states, " + std::to_string(figures.checks) + " invariant checks, " +
                             std::to_string(figures.failures) + " failures";
    std::printf("call orders: %s\n%s", line.c_str(), found.c_str());
    WriteFileBytes(ExecutableDirectory() + PathSeparator() + "call-orders.txt", line + "\n");
}

}  // namespace
}  // namespace kestar::testing
