// kestar-host: a stand-in for the measuring host. It loads a KESTAR module the way
// the host does, gives it host-sized records, starts it up, runs commands and shows
// what the module wrote, then shuts it down. For integrators on site and for tests.
#include "command_line.h"
#include "doctor_system.h"
#include "doctor.h"
#include "doctor_loopback.h"
#include "host_commands.h"
#include "host_records.h"
#include "loaded_module.h"
#include "ports_command.h"
#include "settings_command.h"
#include "start_up_failure.h"
#include "trace_command.h"
#include "watch_screen.h"

#include "serial/port_roles.h"

#include "kestar_source.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestar::tools::LoadedModule;

using kestar::tools::HostRecords;

const char kUsage[] =
    "usage: kestar-host [options] [--trace] [COMMAND ...]\n"
    "       kestar-host [options] [--trace] watch [--interval MS] [--count N]\n"
    "       kestar-host --list\n"
    "       kestar-host [--module PATH] doctor [--json] [--open] [--arm] [--bench]\n"
    "       kestar-host doctor [--json] --loopback COMn\n"
    "       kestar-host settings [--json]\n"
    "       kestar-host settings [--json] [--force] set KEY VALUE\n"
    "       kestar-host settings [--json] init [--keep] [--folder PATH] [KEY=VALUE ...]\n"
    "       kestar-host ports [--json] [--open]\n"
    "       kestar-host trace [--json] [--all] [--pid N] [--save FILE] [--file PATH]\n"
    "                         [--lines N] [--seconds N]\n"
    "       kestar-host --version\n"
    "\n"
    "Loads a KESTAR module as the measuring host does (on Windows through the\n"
    "ordinals 10, 12 and 14), calls InitializeCommunications with host-sized records\n"
    "and a callback, runs each COMMAND through GetCommData, prints the result and\n"
    "the fields the module writes after every call, then calls TerminateCommunications.\n"
    "\n"
    "COMMAND is a name (C_READ_COORDS or READ_COORDS, any case) or a 32-bit number;\n"
    "--list (or commands) shows every command with its code and what it does.\n"
    "When InitializeCommunications returns 0, the first reason start-up found follows.\n"
    "watch repeats C_READ_COORDS every MS milliseconds (default 200, at least 10):\n"
    "on a terminal a live line (two on a narrow one) of reading count, time,\n"
    "position, measured point and status, with a line above it for every point taken\n"
    "and event; elsewhere one line per reading. It runs until interrupted (Ctrl+C) or\n"
    "until N readings were made, and not at all when start-up failed.\n"
    "\n"
    "doctor checks the installation the way InitializeCommunications would and\n"
    "changes nothing: the module and its entry points, the App Paths entry and the\n"
    "install folder, the log, the settings file with CreateLogFile and PORT1 to\n"
    "PORT6 (each read and judged by the module's own rules), and the arm library.\n"
    "It prints one line per check, \"OK|WARN|FAIL <check>: <found> \xE2\x80\x94 <what to do>\",\n"
    "and a verdict: whether InitializeCommunications would return 1, and if not the\n"
    "first reason. --open also opens and closes each port start-up would open\n"
    "(sending nothing); --arm opens the arm library the host would load, as start-up\n"
    "does, and takes one reading. Lines that work only through a fallback are WARN.\n"
    "Exit status 0 when start-up would succeed, 1 when it would not, 3 when it would\n"
    "succeed but no arm reading could (no arm library, a call missing, or the bench\n"
    "arm simulator where --bench does not say that a test bench is meant).\n"
    "Without --module it checks the module the host loads: on Windows KESTAR.dll in\n"
    "the folder the App Paths entry names, beside Tolvo6.exe; one beside this tool\n"
    "that differs from it is a WARN. Under Wine, --open refuses a second open of a\n"
    "COM device, and one another process holds, as Windows does.\n"
    "\n"
    "doctor --loopback COMn tests the serial path with a loopback plug on COMn (or a\n"
    "null-modem cable to a port whose program echoes): it opens COMn through the\n"
    "module's port layer with the line settings of the port line that names it,\n"
    "writes a known pattern, reads it back and reports bytes sent and received, the\n"
    "first mismatch, line errors, the achieved rate and whether writes pended. A\n"
    "device that answers nothing is reported after a bounded wait. Exit status 0\n"
    "when every byte came back unchanged.\n"
    "\n"
    "settings shows the settings file start-up reads (the App Paths install folder,\n"
    "then tolvo\\vodrane.ini): each of CreateLogFile and PORT1 to PORT6 with its line\n"
    "and what start-up does with it, judged as the doctor judges it. settings set\n"
    "KEY VALUE changes one value (e.g. set PORT2 \"Probe 3 19200 E 7 1\"), keeping\n"
    "every other line, comment, line end and the file's encoding; a value start-up\n"
    "would refuse is not written (the reason and what to do follow) unless --force\n"
    "is given. The new file is written beside the old one (vodrane.ini.new) and\n"
    "renamed into its place; the old one is kept as vodrane.ini.bak. A link, FIFO\n"
    "or device in place of the file or of tolvo is refused, as start-up refuses it.\n"
    "settings init writes a commented file with every key, never over one that is\n"
    "there (--keep: that one is kept and the exit status is 0); KEY=VALUE gives a\n"
    "key's value (empty: the default), each judged first: nothing is written where\n"
    "start-up would refuse a line. --folder PATH writes PATH's tolvo\\vodrane.ini\n"
    "(tolvo made when missing) in place of the App Paths folder's, judged as if the\n"
    "App Paths entry named PATH: the installer's way. Exit status 0 when done, 1\n"
    "when refused or failed.\n"
    "\n"
    "ports lists every serial port of this machine, one line each: the COM number\n"
    "the module opens it as and the device behind it (Linux: a $KESTAR_DEVICES/comN\n"
    "link, else /dev/ttyS<N-1>; Windows: the DOS device name COMn), a USB adapter's\n"
    "vendor and product id and serial number, the port line that names it (role and\n"
    "PORTn) or that COM1 is the arm's. A device no COM number reaches is listed with\n"
    "how to link it. --open also opens and closes each port through the module's\n"
    "port layer with its line's settings, sending nothing, and says whether another\n"
    "program holds it. Exit status 0 when a port was listed, 1 when none was found.\n"
    "\n"
    "trace shows the module's debug trace as it happens, one line each with the\n"
    "local time it came: on Windows from the system's debug-output buffer, so the\n"
    "lines of the module inside the running host (any process) arrive with their\n"
    "process id; only processes with the module loaded unless --all, only process N\n"
    "with --pid N. Another viewer holding that buffer (DebugView, a debugger) is\n"
    "named; close it first. On Linux it follows the file $KESTAR_TRACE (or --file)\n"
    "names, which the host must have in its environment too. --save FILE also\n"
    "writes the lines shown to a new FILE. It runs until Ctrl+C, N lines shown\n"
    "(--lines) or N seconds (--seconds), then says how many texts the system gave\n"
    "and how many lines were left out. Exit status 0, or 1 when the trace cannot be\n"
    "read.\n"
    "\n"
    "options:\n"
    "  --module PATH   the module to load (default: the one the host loads, in the App\n"
    "                  Paths folder on Windows, else the module beside this program)\n"
    "  --json          JSON Lines: one JSON object a line instead of text, errors too\n"
    "  --param N       commandParam given with the commands that follow (shown with them)\n"
    "  --trace         the module's trace lines of this session, each before the output\n"
    "                  of the call that sent it (\"  trace: ...\"; JSON: {\"trace\":...})\n"
    "  --help          this text\n"
    "  --version       the version and the commit of this program and of the module\n"
    "                  (--module, else the one the host loads)\n"
    "\n"
    "Exit status: 0 when every call succeeded, 1 when a call returned failure,\n"
    "2 for a usage error or a module that cannot be loaded.\n";

std::atomic<bool> interrupted{false};
std::atomic<int> callbackCalls{0};

extern "C" void OnInterrupt(int) { interrupted = true; }

int KESTAR_CALL HostCallback(InterfaceBlock*, PointList*) {
    ++callbackCalls;
    return 1;
}

struct Options {
    std::string modulePath;
    bool json = false;
    bool watch = false;
    bool trace = false;
    int intervalMs = kestar::tools::kWatchDefaultIntervalMs;
    long count = -1;
    std::vector<std::pair<int, std::optional<int>>> commands;  // code, commandParam when given
};

bool ParseNumber(const char* text, long& out) {
    int value = 0;
    if (kestar::tools::ParseInt32(text, value) != kestar::tools::Parsed::kOk) return false;
    out = value;
    return true;
}

bool jsonErrors = false;  // --json anywhere: errors as JSON objects on stdout too

int Usage(const std::string& problem) {
    return kestar::tools::ReportError(jsonErrors, kestar::tools::kHostUsageError,
                                      problem + "; kestar-host --help shows the usage");
}

void Show(const Options& options, const char* call, int code, int result, const InterfaceBlock& block,
          std::optional<int> commandParam = std::nullopt) {
    const std::string text = options.json ? kestar::tools::DescribeJson(call, code, result, block, commandParam) + "\n"
                                          : kestar::tools::DescribeText(call, code, result, block, commandParam);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// The trace lines the module sent since the last call (end: the last part line too).
void ShowTrace(const Options& options, std::optional<kestar::tools::SessionTrace>& trace,
               kestar::tools::WatchScreen* screen = nullptr, bool end = false) {
    if (!trace || !trace->on()) return;
    for (const kestar::tools::TraceLine& line : trace->Take(end)) {
        if (options.json) {
            std::printf("{\"trace\":%s,\"time\":\"%s\",\"pid\":%lu}\n", kestar::tools::JsonString(line.text).c_str(),
                        line.time.c_str(), line.pid);
        } else if (screen != nullptr) {
            screen->Note("  trace: " + line.text);
        } else {
            std::printf("  trace: %s\n", line.text.c_str());
        }
    }
    std::fflush(stdout);
}

// Start-up returned 0: the reason, and where to look further.
void ShowStartUpFailure(const Options& options, const InterfaceBlock& block) {
    const kestar::tools::StartUpFailure why = kestar::tools::ExplainFailedStartUp(options.modulePath, block);
    const char* see = "kestar-host doctor checks every step of start-up (--open also tries the devices)";
    if (options.json) {
        std::printf("{\"error\":\"start-up failed\",\"reason\":%s,\"found\":%s,\"todo\":%s,\"see\":%s,\"exit\":%d}\n",
                    kestar::tools::JsonString(why.reason).c_str(), kestar::tools::JsonString(why.found).c_str(),
                    why.todo.empty() ? "null" : kestar::tools::JsonString(why.todo).c_str(),
                    kestar::tools::JsonString(see).c_str(), kestar::tools::kHostCallFailed);
    } else {
        std::printf("  start-up failed at %s: %s\n", why.reason.c_str(), why.found.c_str());
        if (!why.todo.empty()) std::printf("  what to do: %s\n", why.todo.c_str());
        std::printf("  %s\n", see);
    }
    std::fflush(stdout);
}

void Watch(const Options& options, LoadedModule& module, InterfaceBlock& block, bool& failed,
           std::optional<kestar::tools::SessionTrace>& trace) {
    std::signal(SIGINT, OnInterrupt);
    kestar::tools::WatchOutput output(stdout);
    kestar::tools::WatchScreen screen(stdout, output.mode(), output.width());
    const auto begin = std::chrono::steady_clock::now();
    for (long n = 0; !interrupted && (options.count < 0 || n < options.count); ++n) {
        block.command = C_READ_COORDS;
        block.eventCode = 0;  // the host takes each event as it is shown
        const int result = module.getCommData(&block);
        failed = failed || result == 0;
        ShowTrace(options, trace, options.json ? nullptr : &screen);
        if (options.json) {
            Show(options, "GetCommData", C_READ_COORDS, result, block);
        } else {
            kestar::tools::WatchReading reading;
            reading.number = n + 1;
            reading.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            reading.result = result;
            reading.position = block.position;
            reading.measured = block.measuredPoint;
            reading.pointTaken = block.probe->pointTaken;
            reading.eventCode = block.eventCode;
            reading.status =
                result ? "ok" : std::string(block.errorText, strnlen(block.errorText, sizeof block.errorText));
            screen.Show(reading);
        }
        if (options.count >= 0 && n + 1 >= options.count) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
    }
    if (!options.json) screen.End();
}

}  // namespace

namespace kestar::tools {

// "<module> <version> (commit C): <path>", of the module given or the one the host loads.
std::string ModuleVersionLine(const std::string& given) {
    const std::string path = given.empty() ? ModuleTheHostLoads() : WholePath(given);
    const std::string version = ModuleFileVersion(path);
    if (version.empty()) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file != nullptr) std::fclose(file);
        return std::string(ModuleFileName()) + ": " + (file != nullptr ? "no version found in " : "none at ") + path;
    }
    return std::string(ModuleFileName()) + " " + version + " (commit " + ModuleFileVersion(path, "SourceCommit") +
           "): " + path;
}

}  // namespace kestar::tools

namespace {

int Doctor(int argc, char** argv) {
    kestar::tools::DoctorOptions options;
    kestar::tools::LoopbackOptions loopback;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "doctor") {
            continue;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--open") {
            options.open = true;
        } else if (arg == "--arm") {
            options.arm = true;
        } else if (arg == "--bench") {
            options.bench = true;
        } else if (arg == "--loopback") {
            if (++i >= argc || kestar::tools::ParseComName(argv[i]) <= 0) {
                return Usage("--loopback needs a COM port, e.g. COM3");
            }
            loopback.comNumber = kestar::tools::ParseComName(argv[i]);
        } else if (arg == "--module") {
            if (++i >= argc) return Usage("--module needs a path");
            options.modulePath = argv[i];
        } else {
            return Usage(("doctor does not take " + arg).c_str());
        }
    }
    if (loopback.comNumber > 0) {
        loopback.json = options.json;
        return kestar::tools::RunLoopback(loopback);
    }
    return kestar::tools::RunDoctor(options);
}

// Every argument but the command's own name at index at; false (with the usage
// printed) when --help is among them.
bool CommandArguments(int argc, char** argv, int at, std::vector<std::string>& args) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return false;
        }
        if (i != at) args.emplace_back(argv[i]);
    }
    return true;
}

// A subcommand (its name at index at): its arguments parsed into Request, then run.
template <typename Request>
int Subcommand(int argc, char** argv, int at,
               bool (*parse)(const std::vector<std::string>&, Request&, std::string&), int (*run)(const Request&)) {
    std::vector<std::string> args;
    if (!CommandArguments(argc, argv, at, args)) return 0;
    Request request;
    std::string problem;
    if (!parse(args, request, problem)) return Usage(problem);
    return run(request);
}

// The arguments of a session (no subcommand named): options filled, or the exit
// status of an argument that ends the run at once (--help, --version, --list, or a
// usage error).
std::optional<int> ParseSession(int argc, char** argv, Options& options) {
    std::optional<int> param;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("kestar-host " KESTAR_BUILD_TEXT);
            std::puts(kestar::tools::ModuleVersionLine(options.modulePath).c_str());
            return 0;
        } else if (arg == "--list" || arg == "commands") {
            std::fputs(kestar::tools::CommandListing(options.json || jsonErrors).c_str(), stdout);
            return 0;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--module") {
            if (++i >= argc) return Usage("--module needs a path");
            options.modulePath = argv[i];
        } else if (arg == "--param") {
            int value = 0;
            const auto parsed =
                i + 1 < argc ? kestar::tools::ParseInt32(argv[i + 1], value) : kestar::tools::Parsed::kUnknown;
            if (parsed == kestar::tools::Parsed::kOutOfRange) {
                return Usage(std::string("--param ") + argv[i + 1] +
                             " is out of the 32-bit range (-2147483648 to 2147483647)");
            }
            if (parsed != kestar::tools::Parsed::kOk) return Usage("--param needs a number");
            param = value;
            ++i;
        } else if (arg == "--interval") {
            if (++i >= argc || !ParseNumber(argv[i], number) || number < kestar::tools::kWatchMinIntervalMs) {
                return Usage("--interval needs " + std::to_string(kestar::tools::kWatchMinIntervalMs) +
                             " milliseconds or more");
            }
            options.intervalMs = static_cast<int>(number);
        } else if (arg == "--count") {
            if (++i >= argc || !ParseNumber(argv[i], number) || number < 0) return Usage("--count needs a number");
            options.count = number;
        } else if (arg == "watch") {
            options.watch = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else {
            int code = 0;
            if (kestar::tools::ParseCommand(arg, code) != kestar::tools::Parsed::kOk) {
                return kestar::tools::ReportError(jsonErrors, kestar::tools::kHostUsageError,
                                                  kestar::tools::CommandError(arg));
            }
            options.commands.emplace_back(code, param);
        }
    }
    if (options.modulePath.empty()) options.modulePath = kestar::tools::ModuleTheHostLoads();
    return std::nullopt;
}

// One session as the host runs it: start-up, the commands in their order, the live
// watch, shut-down; 1 when a call answered 0.
int RunSession(const Options& options) {
    std::optional<kestar::tools::SessionTrace> trace;  // before the load: POSIX chooses the file then
    if (options.trace) {
        trace.emplace();
        if (!trace->on()) {
            std::fprintf(stderr, "kestar-host: --trace: %s\n  %s\n", trace->error().found.c_str(),
                         trace->error().todo.c_str());
        }
    }
    LoadedModule module(options.modulePath);
    if (!module.complete()) {
        return kestar::tools::ReportError(jsonErrors, kestar::tools::kHostUsageError, module.error(), module.hint());
    }

    HostRecords records;
    InterfaceBlock& block = records.block();
    bool failed = false;

    const int started = module.initializeCommunications(&block, 0, HostCallback);
    failed = started == 0;
    ShowTrace(options, trace);
    Show(options, "InitializeCommunications", 0, started, block);
    if (started == 0) ShowStartUpFailure(options, block);

    for (const auto& [code, commandParam] : options.commands) {
        block.command = code;
        block.commandParam = commandParam.value_or(0);
        const int result = module.getCommData(&block);
        failed = failed || result == 0;
        ShowTrace(options, trace);
        Show(options, "GetCommData", code, result, block, commandParam);
    }
    if (options.watch && started != 0) Watch(options, module, block, failed, trace);

    const int ended = module.terminateCommunications();
    failed = failed || ended == 0;
    ShowTrace(options, trace, nullptr, true);
    Show(options, "TerminateCommunications", 0, ended, block);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    jsonErrors = kestar::tools::JsonWanted(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "doctor") == 0) return Doctor(argc, argv);
        if (std::strcmp(argv[i], "settings") == 0) {
            return Subcommand(argc, argv, i, kestar::tools::ParseSettingsArguments, kestar::tools::RunSettings);
        }
        if (std::strcmp(argv[i], "ports") == 0) {
            return Subcommand(argc, argv, i, kestar::tools::ParsePortsArguments, kestar::tools::RunPorts);
        }
        if (std::strcmp(argv[i], "trace") == 0) {
            return Subcommand(argc, argv, i, kestar::tools::ParseTraceArguments, kestar::tools::RunTrace);
        }
        if (std::strcmp(argv[i], "--module") == 0 || std::strcmp(argv[i], "--param") == 0) ++i;
    }
    Options options;
    if (const std::optional<int> ended = ParseSession(argc, argv, options)) return *ended;
    return RunSession(options);
}
