// kestar-host settings as an integrator runs it: one table of files and command
// lines, each with the exit status, the file's bytes after it (one line changed, or
// none) and a text its output must hold.
#include "host-tool/installation.h"

#include "support/program_run.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

enum class Form { kPlain, kUtf16Le, kLinked, kLinkedFolder, kNewNameTaken, kNone, kNoAppPaths };

struct Case {
    Form form;
    const char* file;  // the settings file before (kNone: none)
    std::vector<std::string> args;
    int exit;
    const char* from;  // the line the run changes into to; nullptr: the file stays as it was
    const char* to;
    const char* shows;
};

const char kCrLf[] = "[Parameters]\r\n; the arm is on COM1\r\nCreateLogFile=0\r\nPORT1=Spare -1\r\nPORT2=Spare -1\r\n"
                     "PORT3=DRO -1\r\n; spare slots\r\nPORT4=Spare -1\r\nPORT5=Spare -1\r\nPORT6=Spare -1\r\n";
const char kLfNoPort5[] = "; LF ends\n[parameters]\ncreatelogfile = 0\nPORT1=Spare -1\nport2 = Spare -1\n"
                          "PORT3=DRO -1\nPORT4=Spare -1\nPORT6=Spare -1";
const std::string kGood = "Probe 3 19200 E 7 1";

const Case kCases[] = {
    {Form::kPlain, kCrLf, {"set", "PORT2", kGood}, 0, "PORT2=Spare -1", "PORT2=Probe 3 19200 E 7 1", "  after:  PORT2=Probe 3 19200 E 7 1"},
    {Form::kPlain, kCrLf, {"set", "PORT2", "Probe 3 19200 X 7 1"}, 1, nullptr, nullptr, "kestar-host: PORT2 not changed, start-up would refuse it: PORT2: *parity*"},
    {Form::kPlain, kCrLf, {"--force", "set", "PORT2", "Probe 3 19200 X 7 1"}, 0, "PORT2=Spare -1", "PORT2=Probe 3 19200 X 7 1", "*--force: written, but start-up refuses it"},
    {Form::kPlain, kLfNoPort5, {"set", "port2", kGood}, 0, "port2 = Spare -1", "port2 = Probe 3 19200 E 7 1", "  before: port2 = Spare -1"},
    {Form::kPlain, kLfNoPort5, {"set", "PORT5", "Host -1"}, 0, "PORT6=Spare -1", "PORT6=Spare -1\nPORT5=Host -1\n", "  before: (no PORT5 line)"},
    {Form::kPlain, kCrLf, {"--json", "set", "CreateLogFile", "1"}, 0, "CreateLogFile=0", "CreateLogFile=1", "*\"after\":\"CreateLogFile=1\"*\"exit\":0}"},
    {Form::kUtf16Le, kCrLf, {"set", "PORT2", kGood}, 0, "PORT2=Spare -1", "PORT2=Probe 3 19200 E 7 1", "  after:  PORT2=Probe 3 19200 E 7 1"},
#if !defined(_WIN32)
    {Form::kLinked, kCrLf, {"set", "PORT2", kGood}, 1, nullptr, nullptr, "kestar-host: PORT2 not changed: * is no plain file that can be read*"},
    {Form::kLinkedFolder, kCrLf, {"set", "PORT2", kGood}, 1, nullptr, nullptr, "kestar-host: PORT2 not changed: log folder: * is a link or junction*"},
#endif
    {Form::kNewNameTaken, kCrLf, {"set", "PORT2", kGood}, 1, nullptr, nullptr, "kestar-host: PORT2 not changed: *vodrane.ini.new' cannot be created*"},
    {Form::kPlain, kCrLf, {"init"}, 1, nullptr, nullptr, "kestar-host: there is a settings file * already*"},
    {Form::kNone, "", {"init"}, 0, nullptr, nullptr, "  OK PORT6: 'Spare -1': COM -1, the slot stays without a port"},
    {Form::kPlain, kCrLf, {"init", "--keep", "PORT2=" + kGood}, 0, nullptr, nullptr, "settings file * kept as it is"},
    {Form::kNone, "", {"init", "PORT2=" + kGood, "PORT3=DRO 3 9600 N 8 1"}, 1, nullptr, nullptr, "kestar-host: no settings file written, start-up would refuse it: PORT3: COM3 is also the device of PORT2*"},
    {Form::kNoAppPaths, "", {"init", "--folder", "{install}", "CreateLogFile=", "PORT2=" + kGood}, 0, nullptr, nullptr, "OK PORT2: start-up opens Probe (probePort) on COM3 *"},
    {Form::kPlain, kCrLf, {"set", "PORT7", "Spare -1"}, 2, nullptr, nullptr, "kestar-host: settings set knows the keys CreateLogFile or PORT1 to PORT6, not PORT7*"},
    {Form::kPlain, kCrLf, {}, 0, nullptr, nullptr, "  OK PORT3: 'DRO -1': COM -1, the slot stays without a port"},
};

std::string Utf16Le(const std::string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char c : text) bytes.append({c, '\0'});
    return bytes;
}

class SettingsCommand : public HostInstallation {};

TEST_F(SettingsCommand, EveryCaseChangesOneLineOrNothingAndSaysSo) {
    const std::string ini = install.Join("tolvo/vodrane.ini");
#if !defined(_WIN32)
    ScratchFolder devices;  // COM3 is a device that is there
    ASSERT_EQ(::symlink("/dev/null", devices.Join("com3").c_str()), 0);
    SetEnvironment("KESTAR_DEVICES", devices.path().c_str());
#endif
    for (const Case& c : kCases) {
        std::vector<std::string> args = {"settings"};
        for (const std::string& arg : c.args) args.push_back(arg == "{install}" ? install.path() + "/." : arg);
        if (c.form == Form::kNoAppPaths) DeleteAppPath();
        SCOPED_TRACE(::testing::PrintToString(args));
        const std::string tolvo = install.Join("tolvo");
#if !defined(_WIN32)
        ::unlink(tolvo.c_str());
#endif
        RemoveTree(tolvo);
        ASSERT_TRUE(MakeFolder(c.form == Form::kLinkedFolder ? install.Join("elsewhere") : tolvo));
        const std::string before = c.form == Form::kUtf16Le ? Utf16Le(c.file) : c.file;
        const std::string at = c.form == Form::kLinked          ? install.Join("elsewhere.ini")
                               : c.form == Form::kLinkedFolder ? install.Join("elsewhere/vodrane.ini")
                                                               : ini;
        if (c.form == Form::kNoAppPaths) RemoveTree(tolvo);  // made by init
        if (c.form != Form::kNone && c.form != Form::kNoAppPaths) ASSERT_TRUE(WriteFileBytes(at, before));
#if !defined(_WIN32)
        if (c.form == Form::kLinked) ASSERT_EQ(::symlink(at.c_str(), ini.c_str()), 0);
        if (c.form == Form::kLinkedFolder) ASSERT_EQ(::symlink(install.Join("elsewhere").c_str(), tolvo.c_str()), 0);
#endif
        if (c.form == Form::kNewNameTaken) ASSERT_TRUE(MakeFolder(ini + ".new"));
        const ProgramOutput run = RunProgramFor(Host(), args, 20000, install.path());
        EXPECT_EQ(run.exitCode, c.exit) << run.out;
        bool shown = false;
        for (const std::string& line : Lines(run.out)) shown = shown || Matches(line, c.shows);
        EXPECT_TRUE(shown) << c.shows << "\n" << run.out;
        std::string after = before;
        if (c.from != nullptr) {
            std::string text = c.file;
            text.replace(text.find(c.from), std::string(c.from).size(), c.to);
            after = c.form == Form::kUtf16Le ? Utf16Le(text) : text;
            EXPECT_EQ(ReadFileBytes(ini + ".bak"), before) << "the file before is kept";
        }
        if (c.form != Form::kNone && c.form != Form::kNoAppPaths) EXPECT_EQ(ReadFileBytes(at), after);
        EXPECT_EQ(FileExists(ini), c.exit == 0 || c.form != Form::kNone) << "a refused init writes nothing";
        if (c.form == Form::kNoAppPaths) ASSERT_TRUE(WriteAppPath(install.path()));
        EXPECT_FALSE(FileExists(ini + ".new") && c.form != Form::kNewNameTaken) << "no new file is left behind";
    }
#if !defined(_WIN32)
    SetEnvironment("KESTAR_DEVICES", nullptr);
#endif
}

}  // namespace
}  // namespace kestar::testing
