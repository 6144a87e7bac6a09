// kestar-host as a user runs it: one table of command lines, each with the line its
// output must show (a pattern, '*' standing for any text) and its exit status, run
// against a working installation or none. Output goes to a file here, so no run may
// send an escape code; every run is ended if it outlives its time.
#include "host-tool/installation.h"

#include "host/commands.h"
#include "host_commands.h"
#include "support/program_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestar::testing {
namespace {

#if defined(_WIN32)
constexpr const char* kLibrary = ".dll";
#else
constexpr const char* kLibrary = ".so";
#endif

enum class Setting {
    kInstalled,     // start-up succeeds
    kNotInstalled,  // no App Paths entry: start-up returns 0
    kModuleCopy,    // installed, run in a folder holding a copy of the module as "copy<ext>"
    kNoDevice,      // installed, but PORT1 names COM39, where no device is
};

struct Case {
    std::vector<std::string> args;
    Setting setting;
    int exit;
    std::size_t line;     // which output line the pattern is for; kLast: the last one
    const char* pattern;  // '*' matches any text
    std::size_t lines;    // the output's line count; 0: not checked
};

constexpr std::size_t kLast = static_cast<std::size_t>(-1);

// The lines of the text form of a call's result: the call's line and six below it.
constexpr std::size_t kCallLines = 7;

const Case kCases[] = {
    // Commands are discoverable.
    {{"--list"}, Setting::kNotInstalled, 0, 0, "  2  C_DCC_STOP             returns 1 at once*", kCommandCount},
    {{"commands", "--json"}, Setting::kNotInstalled, 0, kCommandCount - 1,
     "{\"code\":39,\"name\":\"C_CALIBRATE_PROBE\",\"does\":\"nothing; the command becomes C_READ_COORDS\"}",
     kCommandCount},
    {{"C_HOME"}, Setting::kInstalled, 2, 0, "kestar-host: unknown command C_HOME; did you mean C_HOME_CMM?", 1},
    {{"read_coord"}, Setting::kInstalled, 2, 0,
     "kestar-host: unknown command read_coord; did you mean C_READ_COORDS?", 1},
    {{"MODE"}, Setting::kInstalled, 2, 0,
     "kestar-host: unknown command MODE; did you mean C_MODE_AUTO or C_MODE_MAN?", 1},
    {{"xyzzy"}, Setting::kInstalled, 2, 0,
     "kestar-host: unknown command xyzzy (kestar-host --list shows every command)", 1},
    {{"--json", "C_HOME"}, Setting::kInstalled, 2, 1,
     "{\"error\":\"unknown command C_HOME; did you mean C_HOME_CMM?\",\"hint\":null,\"exit\":2}", 2},
    // Numbers beyond 32 bits are refused as such; the limits themselves are taken.
    {{"99999999999"}, Setting::kInstalled, 2, 0, "kestar-host: command 99999999999 is out of the 32-bit range*", 1},
    {{"-2147483649"}, Setting::kInstalled, 2, 0, "kestar-host: command -2147483649 is out of the 32-bit range*", 1},
    {{"2147483647"}, Setting::kInstalled, 0, kCallLines, "GetCommData unnamed (2147483647): result 1", 0},
    {{"--param", "99999999999", "C_SET_DCC_PARAM"}, Setting::kInstalled, 2, 0,
     "kestar-host: --param 99999999999 is out of the 32-bit range*", 1},
    {{"--param", "1x", "C_SET_DCC_PARAM"}, Setting::kInstalled, 2, 0, "kestar-host: --param needs a number*", 1},
    // --param is shown whenever it was given, and only then.
    {{"--param", "-2147483648", "C_SET_DCC_PARAM"}, Setting::kInstalled, 0, kCallLines,
     "GetCommData C_SET_DCC_PARAM(12) commandParam -2147483648: result 1", 0},
    {{"C_SET_DCC_PARAM"}, Setting::kInstalled, 0, kCallLines, "GetCommData C_SET_DCC_PARAM(12): result 1", 0},
    {{"--json", "--param", "5", "12"}, Setting::kInstalled, 0, 1,
     "{\"call\":\"GetCommData\",\"code\":12,\"name\":\"C_SET_DCC_PARAM\",\"commandParam\":5,\"result\":1,*", 3},
    // A failed start-up says why and where to look; watch then does not run.
    {{}, Setting::kNotInstalled, 1, kCallLines, "  start-up failed at App Paths: no App Paths entry*", 0},
    {{}, Setting::kNotInstalled, 1, kCallLines + 2, "  kestar-host doctor checks every step of start-up*", 0},
    {{"--json"}, Setting::kNotInstalled, 1, 1,
     "{\"error\":\"start-up failed\",\"reason\":\"App Paths\",\"found\":*,"
     "\"see\":\"kestar-host doctor*\",\"exit\":1}", 3},
    {{}, Setting::kNoDevice, 1, kCallLines, "  start-up failed at *\"No 8250\"", 0},
    {{}, Setting::kNoDevice, 1, kCallLines + 1, "  what to do: *", 0},
    {{"watch"}, Setting::kNotInstalled, 1, kCallLines + 3, "TerminateCommunications: result 1", 2 * kCallLines + 3},
    // Load errors name the file, the system's reason and what to do.
    {{"--module", "no-such-module"}, Setting::kInstalled, 2, 0, "kestar-host: cannot load *no-such-module*", 0},
    {{"--module", "tolvo/vodrane.ini"}, Setting::kInstalled, 2, 1,
#if defined(_WIN32)
     "  the file is not a 32-bit Windows module (a 64-bit build, or no module at all)*", 2},
#else
     "  the file is not a shared library*", 2},
#endif
#if !defined(_WIN32)
    // A library of the other word size (written by the test): what to run instead.
    {{"--module", "other-class.so"}, Setting::kInstalled, 2, 1, "  the file is a *-bit library*", 2},
#endif
    {{"--json", "--module", "no-such-module"}, Setting::kInstalled, 2, kLast,
     "{\"error\":\"cannot load *no-such-module*\",\"hint\":*,\"exit\":2}", 0},
    // A relative --module path is a file in the current folder.
    {{"--module", std::string("copy") + kLibrary}, Setting::kModuleCopy, 0, 0, "InitializeCommunications: result 1", 0},
    // watch: at least 10 ms between readings; plain lines where output is no terminal.
    {{"--interval", "9", "watch"}, Setting::kInstalled, 2, 0,
     "kestar-host: --interval needs 10 milliseconds or more*", 1},
    {{"--interval", "10", "--count", "3", "watch"}, Setting::kInstalled, 0, kCallLines + 2,
     "#3 *  position *  measured *  point 0 event 0  ok", 2 * kCallLines + 3},
    {{"--json", "--interval", "10", "--count", "2", "watch"}, Setting::kInstalled, 0, 2,
     "{\"call\":\"GetCommData\",\"code\":22,\"name\":\"C_READ_COORDS\",\"result\":1,*", 4},
};

// Whether text matches pattern, where '*' stands for any text.
bool Matches(const std::string& text, const std::string& pattern) {
    std::size_t t = 0, p = 0, star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

class CommandLine : public HostInstallation {};

TEST_F(CommandLine, EveryCaseOfTheTableGivesItsLineAndExitStatus) {
    ScratchFolder copyFolder;
    ASSERT_TRUE(WriteFileBytes(copyFolder.Join(std::string("copy") + kLibrary), ReadFileBytes(BuiltModulePath())));
    // An ELF header of the class this build is not: 64-bit for a 32-bit build and back.
    std::string otherClass = std::string("\x7f" "ELF") + (sizeof(void*) == 4 ? '\x02' : '\x01') + "\x01\x01";
    otherClass.resize(4096, '\0');
    ASSERT_TRUE(WriteFileBytes(install.Join("other-class.so"), otherClass));
    for (const Case& c : kCases) {
        std::string shown = "kestar-host";
        for (const std::string& arg : c.args) shown += " " + arg;
        SCOPED_TRACE(shown);
        if (c.setting == Setting::kNotInstalled) DeleteAppPath();
        if (c.setting == Setting::kNoDevice) WritePortLine(1, "Probe 39 9600 N 8 1");
        const ProgramOutput run = RunProgramFor(Host(), c.args, 20000,
                                                c.setting == Setting::kModuleCopy ? copyFolder.path() : install.path());
        if (c.setting == Setting::kNotInstalled) ASSERT_TRUE(WriteAppPath(install.path()));
        if (c.setting == Setting::kNoDevice) WritePortLine(1, "Spare -1");
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, c.exit) << run.out;
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_FALSE(lines.empty());
        const std::size_t at = c.line == kLast ? lines.size() - 1 : c.line;
        ASSERT_GT(lines.size(), at) << run.out;
        EXPECT_TRUE(Matches(lines[at], c.pattern)) << "line " << at << ": " << lines[at] << "\n" << run.out;
        if (c.lines != 0) EXPECT_EQ(lines.size(), c.lines) << run.out;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "an escape code went into a file";
    }
}

// The listing and the names it suggests come from the module's command table.
TEST(CommandNames, EveryNameOfTheTableIsParsedListedAndItsOwnNearestName) {
    const std::string listing = tools::CommandListing(false);
    for (const Command& command : kCommands) {
        SCOPED_TRACE(command.name);
        int code = -1;
        EXPECT_EQ(tools::ParseCommand(command.name, code), tools::Parsed::kOk);
        EXPECT_EQ(code, command.code);
        EXPECT_EQ(tools::ParseCommand(std::string(command.name).substr(2), code), tools::Parsed::kOk);
        EXPECT_NE(listing.find(" " + std::string(command.name) + " "), std::string::npos);
        // One letter dropped still finds the name first.
        std::string typo = command.name;
        typo.erase(typo.size() / 2, 1);
        const std::vector<std::string> near = tools::NearestCommandNames(typo);
        ASSERT_FALSE(near.empty());
        EXPECT_EQ(near.front(), command.name) << typo;
    }
}

}  // namespace
}  // namespace kestar::testing
