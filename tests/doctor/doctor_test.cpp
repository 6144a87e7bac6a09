// kestar-host doctor on broken installations and a healthy one, run as a separate
// process the way an integrator runs it; then the same installation started for
// real by kestar-host, to check that the doctor's verdict is what
// InitializeCommunications returns and its first reason the errorCode and
// errorText the module reports.
//
// Linux: the registry store is a scratch folder, COM7 links to a pseudo-terminal
// the test makes. Windows (under Wine): the App Paths entry is in the prefix's
// registry and COM21 is the module's side of ctest's pseudo-terminal pair.
#include "platform/registry.h"
#include "settings/install_directory.h"
#include "doctor_system.h"
#include "loaded_module.h"
#include "support/program_run.h"
#include "support/install_fixture.h"
#include "support/terminal_device.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kestar::testing {
namespace {

constexpr int kMissingCom = 39;  // never linked to a device

// The doctor's answer: one JSON object per check, by check name, and its exit status.
struct DoctorReport {
    int exitCode = -1;
    std::string out;
    std::map<std::string, std::string> checks;
    std::vector<std::string> order;

    const std::string& Check(const std::string& name) const {
        static const std::string none;
        auto found = checks.find(name);
        return found != checks.end() ? found->second : none;
    }
    std::string Level(const std::string& name) const { return JsonMember(Check(name), "level"); }
    std::string Found(const std::string& name) const { return JsonMember(Check(name), "found"); }
    std::string Todo(const std::string& name) const { return JsonMember(Check(name), "todo"); }
    std::string Verdict(const std::string& member) const { return JsonMember(Check("verdict"), member); }
};

// What a real start-up gave: InitializeCommunications' result and the block's error fields.
struct StartReport {
    int result = -1;
    int errorCode = 0;
    std::string errorText;
    std::string out;
};

class Doctor : public InstallFixture {
protected:
    ScratchFolder staged;  // a copy of the tools where the arm library must be another one
    std::string hostFolder = ExecutableDirectory();
    int com = 0;
#if !defined(_WIN32)
    TerminalDevice devices;  // COM7, and COM1 for the arm's port
    std::string slaveName;
#endif

    void SetUp() override {
        InstallFixture::SetUp();
#if defined(_WIN32)
        int peer = 0;
        ASSERT_TRUE(SerialPair(com, peer)) << kNoSerialPair;
        // The host program's folder (named by App Paths) holds the host, the module and the arm library.
        ASSERT_TRUE(CopyFileA((hostFolder + "\\zuroz.dll").c_str(), install.Join("zuroz.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileA((hostFolder + "\\KESTAR.dll").c_str(), install.Join("KESTAR.dll").c_str(), FALSE));
        ASSERT_TRUE(WriteFileBytes(install.Join("Tolvo6.exe"), "MZ"));
#else
        com = 7;
        devices.Open(com);
        ASSERT_GE(devices.Add(1), 0);
        slaveName = devices.devices + "/com7";
        UseBuiltToolsEnvironment();
#endif
    }
    void TearDown() override {
        InstallFixture::TearDown();
#if !defined(_WIN32)
        devices.Close();
        SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
#endif
        SetEnvironment("ARMSIM_HOLD_PORT", nullptr);
    }

    std::string Line(const char* role, const std::string& settings = "9600 N 8 1", int number = 0) {
        return std::string(role) + " " + std::to_string(number != 0 ? number : com) + " " + settings;
    }
    // PORT1 = first, the other keys leave their slots without a port; a key given as
    // "" is left out of the file.
    void WriteSettings(std::vector<std::string> ports) { WriteSettingsText(SettingsText("1", std::move(ports))); }

    std::string Host() const {
#if defined(_WIN32)
        return hostFolder + "\\kestar-host.exe";
#else
        return hostFolder + "/kestar-host";
#endif
    }

    // bench: the arm library these tests use is the bench arm simulator.
    DoctorReport RunDoctor(std::vector<std::string> options = {"--open"}, bool bench = true) {
        std::vector<std::string> args = {"doctor", "--json"};
        if (bench) args.push_back("--bench");
        args.insert(args.end(), options.begin(), options.end());
        const ProgramRun run = RunProgram(Host(), args);
        DoctorReport report;
        report.exitCode = run.exitCode;
        report.out = run.out;
        std::size_t start = 0;
        while (start < run.out.size()) {
            std::size_t end = run.out.find('\n', start);
            if (end == std::string::npos) end = run.out.size();
            const std::string object = run.out.substr(start, end - start);
            start = end + 1;
            const std::string name = JsonMember(object, "check");
            if (name == "(absent)") continue;
            report.checks.emplace(name, object);
            report.order.push_back(name);
        }
        return report;
    }

    StartReport StartModule(std::vector<std::string> commands = {}) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), commands.begin(), commands.end());
        const ProgramRun run = RunProgram(Host(), args);
        StartReport report;
        report.out = run.out;
        const std::string first = run.out.substr(0, run.out.find('\n'));
        if (JsonMember(first, "call") != "InitializeCommunications") return report;
        report.result = std::atoi(JsonMember(first, "result").c_str());
        report.errorCode = std::atoi(JsonMember(first, "errorCode").c_str());
        report.errorText = JsonMember(first, "errorText");
        return report;
    }

    // The verdict is what InitializeCommunications then really gives.
    void ExpectStartUpAgrees(const DoctorReport& doctor) {
        const StartReport start = StartModule();
        ASSERT_NE(start.result, -1) << start.out;
        EXPECT_EQ(doctor.Verdict("result"), std::to_string(start.result)) << doctor.out << start.out;
        if (doctor.Verdict("errorCode") == "null") {
            EXPECT_EQ(start.errorCode, 0) << "a start that ends at a missing key writes no error";
            EXPECT_EQ(start.errorText, "");
        } else {
            EXPECT_EQ(doctor.Verdict("errorCode"), std::to_string(start.errorCode)) << start.out;
            EXPECT_EQ(doctor.Verdict("errorText"), start.errorText);
        }
        if (start.result == 1) {
            EXPECT_TRUE(doctor.exitCode == 0 || doctor.exitCode == 3) << "3: start-up succeeds, the arm does not";
        } else {
            EXPECT_EQ(doctor.exitCode, 1);
        }
    }

    // Expects the verdict to name reason as the first reason of a failed start.
    void ExpectFailedStart(const DoctorReport& doctor, const std::string& reason) {
        EXPECT_EQ(doctor.Level("verdict"), "FAIL") << doctor.out;
        EXPECT_EQ(doctor.Verdict("result"), "0");
        EXPECT_EQ(doctor.Verdict("reason"), reason) << doctor.out;
        EXPECT_EQ(doctor.Level(reason), "FAIL");
        EXPECT_EQ(doctor.Verdict("todo"), doctor.Todo(reason)) << "the verdict carries the reason's hint";
        EXPECT_EQ(doctor.exitCode, 1);
    }

    // Start-up returns 1, but no arm reading can work: exit status 3.
    void ExpectMainJobStopped(const DoctorReport& doctor, const std::string& reason) {
        EXPECT_EQ(doctor.Level("verdict"), "FAIL") << doctor.out;
        EXPECT_EQ(doctor.Verdict("result"), "1");
        EXPECT_EQ(doctor.Verdict("reason"), reason);
        EXPECT_EQ(doctor.exitCode, 3);
    }

    void ExpectSuccessfulStart(const DoctorReport& doctor) {
        EXPECT_EQ(doctor.Level("verdict"), "OK") << doctor.out;
        EXPECT_EQ(doctor.Verdict("result"), "1");
        EXPECT_EQ(doctor.exitCode, 0);
    }

    // Copies the module and kestar-host into the install folder (the host program's
    // folder, named by App Paths), with arm (a path) as its zuroz.dll, or none; later
    // runs use that copy (Windows loads zuroz.dll from the host program's folder).
    void StageTools(const std::string& arm) {
#if defined(_WIN32)
        ASSERT_TRUE(CopyFileA((hostFolder + "\\kestar-host.exe").c_str(), install.Join("kestar-host.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileA((hostFolder + "\\KESTAR.dll").c_str(), install.Join("KESTAR.dll").c_str(), FALSE));
        if (arm.empty()) DeleteFileA(install.Join("zuroz.dll").c_str());
        if (!arm.empty()) ASSERT_TRUE(CopyFileA(arm.c_str(), install.Join("zuroz.dll").c_str(), FALSE));
        hostFolder = install.path();
#else
        SetEnvironment("KESTAR_ARM_LIBRARY", arm.empty() ? staged.Join("libzuroz.so").c_str() : arm.c_str());
#endif
    }
};

// ---- A healthy installation ----------------------------------------------------

TEST_F(Doctor, HealthyInstallationWouldStartAndEveryCheckIsOk) {
    WriteSettings({Line("Controller"), "DRO -1 9600 N 8 1"});
    const DoctorReport doctor = RunDoctor({"--open", "--arm"});
    ExpectSuccessfulStart(doctor);
    for (const std::string& name : doctor.order) EXPECT_EQ(doctor.Level(name), "OK") << doctor.Check(name);
    EXPECT_EQ(JsonMember(doctor.Check("PORT1"), "opened"), "true");
    EXPECT_EQ(JsonMember(doctor.Check("PORT1"), "role"), "Controller");
    EXPECT_EQ(JsonMember(doctor.Check("PORT1"), "roleField"), "controllerPort");
    EXPECT_EQ(JsonMember(doctor.Check("PORT2"), "action"), "passed over: negative COM number");
    EXPECT_EQ(doctor.Level("arm reading"), "OK");
    EXPECT_EQ(JsonMember(doctor.Check("install folder"), "folder"), install.path());
#if defined(_WIN32)
    EXPECT_NE(doctor.Found("entry points").find("GetCommData @10, InitializeCommunications @12, "
                                                "TerminateCommunications @14"),
              std::string::npos);
    EXPECT_EQ(JsonMember(doctor.Check("module"), "version"), KESTAR_VERSION);
#else
    EXPECT_EQ(JsonMember(doctor.Check("PORT1"), "device"), devices.devices + "/com7");
#endif
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, WithoutOpenTheDevicesAreNotTriedAndTheVerdictSaysSo) {
    WriteSettings({Line("Controller")});
    const DoctorReport doctor = RunDoctor({});
    ExpectSuccessfulStart(doctor);
    EXPECT_EQ(JsonMember(doctor.Check("PORT1"), "opened"), "false");
    EXPECT_EQ(doctor.Verdict("devicesTried"), "false");
    EXPECT_NE(doctor.Verdict("found").find("if the devices open"), std::string::npos);
}

TEST_F(Doctor, TextOutputIsOneLinePerCheckEndingWithTheVerdict) {
    WriteSettings({Line("Controller", "9600 X 8 1")});
    ProgramRun run = RunProgram(Host(), {"doctor"});
    EXPECT_EQ(run.exitCode, 1);
    // Windows writes its text lines with CR LF.
    run.out.erase(std::remove(run.out.begin(), run.out.end(), '\r'), run.out.end());
    const std::string failure = "FAIL PORT1: the parity 'X' of COM" + std::to_string(com) + " is refused";
    EXPECT_NE(run.out.find("\n" + failure), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\xE2\x80\x94 use E, M, N, O or S (either case) in PORT1\n"), std::string::npos);
    const std::size_t last = run.out.rfind('\n', run.out.size() - 2);
    EXPECT_EQ(run.out.compare(last + 1, 13, "FAIL verdict:"), 0) << run.out;
    for (std::size_t at = 0; at < run.out.size();) {
        const std::size_t end = run.out.find('\n', at);
        const std::string line = run.out.substr(at, end - at);
        EXPECT_TRUE(line.rfind("OK ", 0) == 0 || line.rfind("WARN ", 0) == 0 || line.rfind("FAIL ", 0) == 0) << line;
        at = end + 1;
    }
}

// ---- The install folder ----------------------------------------------------------

TEST_F(Doctor, NoAppPathsEntry) {
    WriteSettings({Line("Controller")});
    DeleteAppPath();
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "App Paths");
    EXPECT_NE(doctor.Found("App Paths").find("no App Paths entry"), std::string::npos);
    EXPECT_EQ(doctor.Level("install folder"), "FAIL");
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, PathToAMissingFolder) {
    WriteSettings({Line("Controller")});
    ASSERT_TRUE(WriteAppPath(install.Join("gone")));
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "install folder");
    EXPECT_EQ(doctor.Level("Path"), "OK");
    EXPECT_NE(doctor.Found("install folder").find("does not exist"), std::string::npos);
    EXPECT_NE(doctor.Todo("install folder").find("correct Path"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, PathOfAnotherTypeThanAPlainString) {
    WriteSettings({Line("Controller")});
    platform::RegHandle key = 0;
    ASSERT_EQ(platform::Registry().OpenKeyEx(platform::kHkeyLocalMachine, kAppPathsKey, 0, platform::kKeyAllAccess,
                                             &key),
              platform::kRegSuccess);
    const std::string folder = install.path();
    EXPECT_EQ(platform::Registry().SetValueEx(key, kAppPathValue, platform::kRegExpandSz,
                                              reinterpret_cast<const unsigned char*>(folder.c_str()),
                                              static_cast<std::uint32_t>(folder.size() + 1)),
              platform::kRegSuccess);
    platform::Registry().CloseKey(key);
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "Path");
    EXPECT_NE(doctor.Found("Path").find("REG_EXPAND_SZ"), std::string::npos);
    EXPECT_NE(doctor.Todo("Path").find("REG_SZ"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}

// ---- The settings file -----------------------------------------------------------

TEST_F(Doctor, NoSettingsFile) {
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "settings file");
    EXPECT_NE(doctor.Found("settings file").find("does not exist"), std::string::npos);
    EXPECT_EQ(doctor.Level("PORT1"), "FAIL");
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, SettingsFileWithoutTheSection) {
    ASSERT_TRUE(WriteFileBytes(install.Join("tolvo/vodrane.ini"), "[Settings]\r\nPORT1=" + Line("Controller") + "\r\n"));
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "section");
    EXPECT_EQ(doctor.Todo("section"), "put the keys under a line [Parameters]");
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, MissingPort4) {
    WriteSettings({Line("Controller"), "DRO -1", "Probe -1", "", "Host -1", "Sensor -1"});
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "PORT4");
    EXPECT_EQ(doctor.Verdict("errorCode"), "null") << "a missing key leaves errorCode as it was";
    EXPECT_EQ(doctor.Level("PORT1"), "OK");
    EXPECT_NE(doctor.Todo("PORT4").find("PORT4=Spare -1"), std::string::npos);
    EXPECT_NE(doctor.Found("PORT5").find("not reached (start-up stops at PORT4)"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, UnknownRoleIsPassedOverAndStartUpSucceeds) {
    WriteSettings({Line("Controller"), "Printer 5 9600 N 8 1"});
    const DoctorReport doctor = RunDoctor();
    ExpectSuccessfulStart(doctor);
    EXPECT_EQ(doctor.Level("PORT2"), "WARN");
    EXPECT_EQ(JsonMember(doctor.Check("PORT2"), "action"), "passed over: unknown role");
    EXPECT_NE(doctor.Todo("PORT2").find("Controller, Probe, DRO"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, ParityXIsRefusedWithTheModulesStatus) {
    WriteSettings({Line("Controller", "9600 X 8 1")});
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "PORT1");
    EXPECT_EQ(doctor.Verdict("errorCode"), "-26");
    EXPECT_EQ(doctor.Verdict("errorText"), "Illegal Parity");
    EXPECT_EQ(doctor.Todo("PORT1"), "use E, M, N, O or S (either case) in PORT1");
    ExpectStartUpAgrees(doctor);
    const DoctorReport unopened = RunDoctor({});
    EXPECT_EQ(unopened.Verdict("errorCode"), "-26") << "the rule alone tells, without opening";
}

TEST_F(Doctor, BaudRate1234IsForTheDeviceToRefuse) {
    WriteSettings({Line("Controller", "1234 N 8 1")});
    const DoctorReport unopened = RunDoctor({});
#if defined(_WIN32)
    EXPECT_EQ(unopened.Level("PORT1"), "WARN") << "only opening the device can tell";
    EXPECT_NE(unopened.Found("PORT1").find("1234 is no standard rate"), std::string::npos) << unopened.out;
#else
    // The stand-in's driver has no speed 1234: the doctor says so without opening.
    ExpectFailedStart(unopened, "PORT1");
    EXPECT_EQ(unopened.Verdict("errorCode"), "-1");
#endif
    const DoctorReport doctor = RunDoctor();
#if !defined(_WIN32)
    ExpectFailedStart(doctor, "PORT1");
    EXPECT_EQ(doctor.Verdict("errorCode"), "-1");
    EXPECT_NE(doctor.Found("PORT1").find("this platform's serial driver has no speed 1234"), std::string::npos);
#endif
    ExpectStartUpAgrees(doctor);
}

TEST_F(Doctor, OverlongBaudRateIsIllegal) {
    WriteSettings({Line("Controller", "115200 N 8 1")});
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "PORT1");
    EXPECT_EQ(doctor.Verdict("errorText"), "Illegal Baud Rate");
    ExpectStartUpAgrees(doctor);
}

// ---- Serial devices --------------------------------------------------------------

TEST_F(Doctor, MissingDevice) {
    WriteSettings({Line("Controller"), Line("Probe", "9600 N 8 1", kMissingCom)});
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "PORT2");
    EXPECT_EQ(doctor.Verdict("errorCode"), "-14");
    EXPECT_EQ(doctor.Verdict("errorText"), "No 8250");
    EXPECT_NE(doctor.Found("PORT2").find("does not exist"), std::string::npos);
    EXPECT_NE(doctor.Todo("PORT2").find("connect the device"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}

// Another process holds the device; under Wine, which would open it, by Windows' rule.
TEST_F(Doctor, BusyDevice) {
    WriteSettings({Line("Controller")});
    const std::string portName = "COM" + std::to_string(com);
#if defined(_WIN32)
    const HANDLE held = CreateFileA(("\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string self = std::to_string(GetCurrentProcessId());
#else
    const int held = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string self = std::to_string(getpid());
#endif
    const DoctorReport doctor = RunDoctor();
    ExpectFailedStart(doctor, "PORT1");
    EXPECT_EQ(doctor.Verdict("errorText"), "Port in Use");
    EXPECT_NE(doctor.Found("PORT1").find(portName + " is held by another program (open in " + self + " ("),
              std::string::npos) << "the doctor names the process that holds the device: " << doctor.out;
    EXPECT_EQ(doctor.Todo("PORT1"), "close the program that uses " + portName + ", or change PORT1");
#if defined(_WIN32)
    EXPECT_NE(doctor.Found("PORT1").find("Wine itself would open it"), std::string::npos) << doctor.out;
    CloseHandle(held);
    EXPECT_EQ(RunDoctor().Level("PORT1"), "OK") << "once let go, the port opens";
#else
    ExpectStartUpAgrees(doctor);
    close(held);
#endif
}

TEST_F(Doctor, TwoLinesOnOneDeviceFindItInUse) {
    WriteSettings({Line("Controller"), Line("Probe")});
    for (const auto& options : {std::vector<std::string>{}, std::vector<std::string>{"--open"}}) {
        const DoctorReport doctor = RunDoctor(options);
        ExpectFailedStart(doctor, "PORT2");
        EXPECT_EQ(doctor.Verdict("errorCode"), "-3");
        EXPECT_NE(doctor.Found("PORT2").find("is also the device of PORT1"), std::string::npos);
#if defined(_WIN32)
        // --open: Windows' rule, where Wine would open the device twice.
        EXPECT_EQ(doctor.Found("PORT2").find("Wine itself would open it") != std::string::npos,
                  !options.empty() && tools::UnderWine()) << doctor.out;
#endif
    }
    const DoctorReport doctor = RunDoctor();
#if !defined(_WIN32)
    // Wine does not refuse the module's own second open of the device, so there the
    // real start succeeds where Windows would answer -3.
    ExpectStartUpAgrees(doctor);
#endif
}

// The bench arm simulator makes readings up: a FAIL unless --bench says a bench is meant.
TEST_F(Doctor, BenchArmSimulatorFailsUnlessABenchIsMeant) {
    WriteSettings({Line("Controller")});
    const DoctorReport doctor = RunDoctor({"--arm"}, false);
    ExpectMainJobStopped(doctor, "arm library");
    EXPECT_NE(doctor.Found("arm library").find("the bench arm simulator, not the arm maker's library"),
              std::string::npos) << doctor.out;
    EXPECT_NE(doctor.Todo("arm library").find("--bench"), std::string::npos);
    EXPECT_EQ(doctor.Check("arm reading"), "") << "no made-up reading is shown";
    const DoctorReport bench = RunDoctor({"--arm"});
    EXPECT_EQ(JsonMember(bench.Check("arm library"), "benchSimulator"), "true");
    EXPECT_EQ(bench.Level("arm reading"), "OK");
    ExpectSuccessfulStart(bench);
}

#if defined(_WIN32)
// The host loads KESTAR.dll from the folder App Paths names, beside Tolvo6.exe.
TEST_F(Doctor, ChecksTheModuleInTheHostsFolderNotTheOneBesideTheDoctor) {
    WriteSettings({Line("Controller")});
    const std::string hostModule = install.Join("KESTAR.dll");
    ASSERT_TRUE(WriteFileBytes(hostModule, ReadFileBytes(BuiltModulePath()) + std::string(16, '\0')));
    const DoctorReport differs = RunDoctor();
    EXPECT_EQ(JsonMember(differs.Check("module"), "path"), hostModule) << differs.out;
    EXPECT_EQ(differs.Level("host module"), "WARN") << differs.out;
    EXPECT_NE(differs.Found("host module").find(BuiltModulePath()), std::string::npos);
    EXPECT_EQ(differs.exitCode, 0);
    ASSERT_TRUE(DeleteFileA(hostModule.c_str()));
    const DoctorReport missing = RunDoctor();
    EXPECT_EQ(missing.Verdict("reason"), "host module") << missing.out;
    EXPECT_NE(missing.Todo("host module").find("copy KESTAR.dll into"), std::string::npos);
    EXPECT_NE(missing.Todo("host module").find("installer"), std::string::npos);
    EXPECT_EQ(missing.exitCode, 1);
    ASSERT_TRUE(DeleteFileA(install.Join("Tolvo6.exe").c_str()));
    const DoctorReport noHost = RunDoctor();
    EXPECT_EQ(noHost.Level("host program"), "FAIL");
    EXPECT_EQ(noHost.exitCode, 1);
}
#endif

// ---- The log ---------------------------------------------------------------------

TEST_F(Doctor, LogThatCannotBeWrittenDoesNotStopStartUp) {
    WriteSettings({Line("Controller")});
    bool folderLocked = false;
#if !defined(_WIN32)
    // A folder without write permission stops everyone but root.
    if (geteuid() != 0) folderLocked = chmod(install.Join("tolvo").c_str(), 0555) == 0;
#endif
    // For root (and under Wine, which runs as root here) a folder where the log
    // file should be stops the log as surely.
    if (!folderLocked) ASSERT_TRUE(MakeFolder(install.Join("tolvo/TolvoInterface.log")));
    const DoctorReport doctor = RunDoctor();
    ExpectSuccessfulStart(doctor);
    EXPECT_EQ(doctor.Level("log file"), "WARN") << doctor.out;
    EXPECT_NE(doctor.Found("log file").find("no log is written"), std::string::npos);
    ExpectStartUpAgrees(doctor);
#if !defined(_WIN32)
    if (folderLocked) chmod(install.Join("tolvo").c_str(), 0755);
#endif
}

TEST_F(Doctor, LogHeldByAnotherProcess) {
    WriteSettings({Line("Controller")});
    const std::string log = install.Join("tolvo/TolvoInterface.log");
    ASSERT_TRUE(WriteFileBytes(log, "earlier run\r\n"));
#if defined(_WIN32)
    HANDLE held = CreateFileA(log.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
    const int held = open(log.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
#endif
    const DoctorReport doctor = RunDoctor();
    ExpectSuccessfulStart(doctor);
    EXPECT_EQ(doctor.Level("log file"), "WARN");
    EXPECT_NE(doctor.Found("log file").find("is held by another process"), std::string::npos);
    EXPECT_EQ(doctor.Todo("log file"), "close the program that holds the log file");
    ExpectStartUpAgrees(doctor);
#if defined(_WIN32)
    CloseHandle(held);
#else
    close(held);
#endif
}

#if !defined(_WIN32)  // Wine shows a Linux link as its target and makes no junctions
TEST_F(Doctor, LinkedLogFolderIsRefusedAsStartUpRefusesIt) {
    WriteSettings({Line("Controller")});
    ScratchFolder elsewhere;
    ASSERT_EQ(rename(install.Join("tolvo").c_str(), elsewhere.Join("tolvo").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.Join("tolvo").c_str(), install.Join("tolvo").c_str()), 0);
    const DoctorReport doctor = RunDoctor();
    EXPECT_EQ(doctor.Level("log folder"), "FAIL") << doctor.out;
    EXPECT_NE(doctor.Found("log folder").find("link or junction"), std::string::npos);
    ExpectStartUpAgrees(doctor);
}
#endif

// ---- The arm library -------------------------------------------------------------

TEST_F(Doctor, NoArmLibrary) {
    WriteSettings({Line("Controller")});
    StageTools("");
    const DoctorReport doctor = RunDoctor({"--open", "--arm"});
    ExpectMainJobStopped(doctor, "arm library");
    EXPECT_EQ(doctor.Level("arm library"), "FAIL");
    EXPECT_NE(doctor.Found("arm library").find("could not be loaded"), std::string::npos);
    EXPECT_NE(doctor.Found("arm library").find("errorCode 1001 \"Interface Error\""), std::string::npos);
#if defined(_WIN32)
    EXPECT_EQ(doctor.Level("arm table"), "WARN") << "this Wine prefix has no arm table";
    EXPECT_NE(doctor.Found("arm table").find("C:\\ZUROZ\\M022_5C_2.TAB"), std::string::npos);
#endif
    ExpectStartUpAgrees(doctor);
    // What the doctor says follows: a reading ends in the command guard's error.
    const StartReport reading = StartModule({"READ_COORDS"});
    EXPECT_NE(reading.out.find("\"errorCode\":1001,\"errorText\":\"Interface Error\""), std::string::npos)
        << reading.out;
}

TEST_F(Doctor, ArmLibraryLackingLeggeQuota) {
    WriteSettings({Line("Controller")});
#if defined(_WIN32)
    StageTools(ExecutableDirectory() + "\\arm-no-quota\\zuroz.dll");
#else
    StageTools(ExecutableDirectory() + "/libzuroz-no-quota.so");
#endif
    const DoctorReport doctor = RunDoctor({"--open", "--arm"});
    ExpectMainJobStopped(doctor, "arm library");
    EXPECT_EQ(doctor.Level("arm library"), "FAIL");
    EXPECT_EQ(JsonMember(doctor.Check("arm library"), "missing"), "LeggeQuota");
#if defined(_WIN32)
    // This library exports its calls only under their decorated names.
    EXPECT_NE(doctor.Found("arm library").find("has _AprePorta@4, _LeggeParametri@4, _ChiudePorta@0, "
                                               "_ResetEncoder@0"),
              std::string::npos)
        << doctor.Found("arm library");
#else
    EXPECT_NE(doctor.Found("arm library").find("has AprePorta, LeggeParametri, ChiudePorta, ResetEncoder"),
              std::string::npos);
#endif
    EXPECT_EQ(doctor.Check("arm reading"), "") << "no reading through an incomplete library";
    ExpectStartUpAgrees(doctor);
    const StartReport reading = StartModule({"READ_COORDS"});
    EXPECT_NE(reading.out.find("\"errorCode\":1001,\"errorText\":\"Interface Error\""), std::string::npos);
}

// ---- What integrators found the doctor and start-up disagreeing on -----------------

// A second line on a device start-up holds fails when it opens, before its line
// settings are looked at: -3, whatever else is wrong with the line.
TEST_F(Doctor, SecondLineOnAHeldDeviceIsInUseBeforeItsParityIsRefused) {
    WriteSettings({Line("Controller"), Line("Probe", "19200 X 8 1")});
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--open"}}) {
        const DoctorReport doctor = RunDoctor(options);
        ExpectFailedStart(doctor, "PORT2");
        EXPECT_EQ(doctor.Verdict("errorCode"), "-3") << doctor.out;
        EXPECT_NE(doctor.Found("PORT2").find("also: the parity 'X'"), std::string::npos) << "every problem of the line";
#if !defined(_WIN32)
        ExpectStartUpAgrees(doctor);
#endif
    }
}

// Start-up opens the arm library on COM1 before it reads a port line.
TEST_F(Doctor, PortLineOnTheArmsPortWarnsAndWithArmFindsItHeld) {
#if defined(_WIN32)
    const HANDLE arm = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (arm == INVALID_HANDLE_VALUE) GTEST_SKIP() << "this Wine prefix's COM1 cannot be opened";
    CloseHandle(arm);
#endif
    SetEnvironment("ARMSIM_HOLD_PORT", "1");
    WriteSettings({Line("Controller", "9600 N 8 1", 1)});
    const DoctorReport quiet = RunDoctor({});
    ExpectSuccessfulStart(quiet);
    EXPECT_EQ(quiet.Level("PORT1"), "WARN");
    EXPECT_NE(quiet.Todo("PORT1").find("--arm"), std::string::npos);
    const DoctorReport doctor = RunDoctor({"--open", "--arm"});
    ExpectFailedStart(doctor, "PORT1");
    EXPECT_EQ(doctor.Verdict("errorCode"), "-3");
    EXPECT_NE(doctor.Found("PORT1").find("held by the arm library"), std::string::npos) << doctor.out;
#if !defined(_WIN32)
    ExpectStartUpAgrees(doctor);  // under Wine the real start opens COM1 a second time
#endif
}

// What this platform's driver does with a rate the COM driver passes on.
TEST_F(Doctor, RateThePlatformsDriverHasNoSpeedFor) {
    WriteSettings({Line("DRO", "128000 N 8 1")});
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--open"}}) {
        const DoctorReport doctor = RunDoctor(options);
#if defined(_WIN32)
        ExpectSuccessfulStart(doctor);
#else
        ExpectFailedStart(doctor, "PORT1");
        EXPECT_EQ(doctor.Verdict("errorCode"), "-1");
        EXPECT_NE(doctor.Found("PORT1").find("has no speed 128000"), std::string::npos) << doctor.out;
#endif
        if (!options.empty()) ExpectStartUpAgrees(doctor);
    }
}

// JSON in valid UTF-8: a non-ASCII install path and the doctor's own arrow come
// out as characters, not byte by byte.
TEST_F(Doctor, JsonCarriesNonAsciiTextAsUtf8) {
#if defined(_WIN32)
    const std::string name = "Mesure-\xE9";  // as the ANSI code page (1252) writes it
#else
    const std::string name = "Mesure-\xC3\xA9";
#endif
    const std::string folder = install.Join(name);
    ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(MakeFolder(folder + PathSeparator() + "tolvo"));
    ASSERT_TRUE(WriteAppPath(folder));
    ASSERT_TRUE(WriteFileBytes(folder + PathSeparator() + "tolvo" + PathSeparator() + "vodrane.ini",
                               "[Parameters]\r\nPORT1=" + Line("Controller") + "\r\nPORT2=Spare -1\r\nPORT3=Spare -1\r\n"
                               "PORT4=Spare -1\r\nPORT5=Spare -1\r\nPORT6=Spare -1\r\n"));
    const DoctorReport doctor = RunDoctor({});
    const std::string folderUtf8 = install.path() + PathSeparator() + "Mesure-\xC3\xA9";
    EXPECT_EQ(JsonMember(doctor.Check("install folder"), "folder"), folderUtf8) << doctor.out;
    EXPECT_EQ(doctor.out.find("\\u00"), std::string::npos) << "no byte-by-byte escapes";
#if !defined(_WIN32)
    EXPECT_NE(doctor.Found("PORT1").find("\xE2\x86\x92"), std::string::npos) << doctor.out;
#endif
}

// The doctor leaves the console's code page as it found it.
TEST(DoctorConsole, CodePageIsRestored) {
#if defined(_WIN32)
    if (!AllocConsole()) GTEST_SKIP() << "no console can be had here";
    ASSERT_TRUE(SetConsoleOutputCP(850));
    const HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    {
        tools::Utf8Console console;
        EXPECT_EQ(GetConsoleOutputCP(), 65001u);
    }
    EXPECT_EQ(GetConsoleOutputCP(), 850u);
    CloseHandle(out);
    FreeConsole();
#else
    GTEST_SKIP() << "a POSIX terminal has no code page to set or restore";
#endif
}

// A field that is no number makes start-up fall back to a default: a WARN saying
// what start-up does instead.
TEST_F(Doctor, FallbackLinesWarnWithWhatStartUpDoesInstead) {
    const struct {
        std::string line;
        std::string found;
        std::string todo;
    } cases[] = {
        {"Controller COM" + std::to_string(com) + " 9600 N 8 1",
         "'COM" + std::to_string(com) + "' is not a number: start-up opens COM1 at 9600 N 8 1",
         "write " + std::to_string(com) + " in PORT1"},
        {"Controller 1 19200", "no parity letter: start-up opens COM1 at 19200 N 8 1",
         "write the parity letter after the baud rate (N for none) in PORT1"},
    };
    for (const auto& c : cases) {
        WriteSettings({c.line});
        const DoctorReport doctor = RunDoctor({});
        EXPECT_EQ(doctor.Level("PORT1"), "WARN") << c.line;
        EXPECT_EQ(doctor.Found("PORT1").rfind(c.found, 0), 0u) << doctor.Found("PORT1");
        EXPECT_EQ(doctor.Todo("PORT1"), c.todo);
#if !defined(_WIN32)
        ExpectStartUpAgrees(RunDoctor());
#endif
    }
}

// Where the host program would look for the arm library decides, not where the
// tool lies: beside the module, then (Windows) in the host program's folder.
TEST_F(Doctor, ArmLibraryIsTheOneTheHostProgramWouldLoad) {
    WriteSettings({Line("Controller")});
    SetEnvironment("KESTAR_ARM_LIBRARY", nullptr);
    const std::string module = staged.Join(tools::ModuleFileName());
    ASSERT_TRUE(WriteFileBytes(module, ReadFileBytes(BuiltModulePath())));
#if defined(_WIN32)
    const std::string armName = "zuroz.dll";
    ASSERT_TRUE(DeleteFileA(install.Join(armName).c_str()));
#else
    const std::string armName = "libzuroz.so";
#endif
    // An arm library lies beside kestar-host, but neither beside the module nor in the host's folder.
    const DoctorReport missing = RunDoctor({"--module", module});
    EXPECT_EQ(missing.Level("arm library"), "FAIL") << missing.out;
    EXPECT_NE(missing.Found("arm library").find(staged.Join(armName)), std::string::npos) << missing.out;
    EXPECT_EQ(missing.exitCode, 3);
#if defined(_WIN32)
    ASSERT_TRUE(WriteFileBytes(install.Join(armName), ReadFileBytes(BuiltArmSimulatorPath())));
    const DoctorReport inHostFolder = RunDoctor({"--module", module});
    EXPECT_EQ(JsonMember(inHostFolder.Check("arm library"), "file"), install.Join(armName)) << inHostFolder.out;
    ExpectSuccessfulStart(inHostFolder);
#endif
    ASSERT_TRUE(WriteFileBytes(staged.Join(armName), ReadFileBytes(BuiltArmSimulatorPath())));
    const DoctorReport beside = RunDoctor({"--module", module});
    EXPECT_EQ(JsonMember(beside.Check("arm library"), "file"), staged.Join(armName)) << beside.out;
    ExpectSuccessfulStart(beside);
}

// ---- The doctor changes nothing ----------------------------------------------------

TEST_F(Doctor, LeavesTheLogTheRegistryAndTheDevicesAsTheyWere) {
    WriteSettings({Line("Controller")});
    const std::string log = install.Join("tolvo/TolvoInterface.log");
    ASSERT_TRUE(WriteFileBytes(log, "earlier run\r\n"));
    const DoctorReport doctor = RunDoctor({"--open", "--arm"});
    ExpectSuccessfulStart(doctor);
    EXPECT_EQ(ReadFileBytes(log), "earlier run\r\n") << "the log file is neither emptied nor written";
    EXPECT_EQ(JsonMember(doctor.Check("Path"), "value"), install.path());
#if !defined(_WIN32)
    // Nothing reached the device: the far end of the pseudo-terminal has no byte.
    char byte = 0;
    EXPECT_EQ(read(devices.master, &byte, 1), -1) << "the doctor sent a byte";
#endif
    // The start that follows still finds everything as it was.
    ExpectStartUpAgrees(doctor);
#if !defined(_WIN32)
    // A registry store without the App Paths entry stays without any folder.
    const std::string previous = std::getenv("KESTAR_REGISTRY");
    ScratchFolder emptyStore;
    const std::string store = emptyStore.Join("store");
    SetEnvironment("KESTAR_REGISTRY", store.c_str());
    const DoctorReport bare = RunDoctor({});
    SetEnvironment("KESTAR_REGISTRY", previous.c_str());
    EXPECT_EQ(bare.Verdict("reason"), "App Paths");
    EXPECT_FALSE(FileExists(store)) << "the doctor made the registry store";
#endif
}

}  // namespace
}  // namespace kestar::testing
