// kestar-host doctor: checks an installation the way the module's start-up would
// and says, before the host runs it, whether InitializeCommunications will return 1
// and, if not, why. It changes nothing: no log file is emptied, nothing is written
// to the registry, no byte is sent to a device.
#pragma once

#include "doctor_report.h"

#include <string>

namespace kestar::tools {

struct DoctorOptions {
    std::string modulePath;  // empty: the module the host would load (ModuleTheHostLoads)
    bool json = false;
    bool open = false;  // open and close each port start-up would open
    bool arm = false;   // open COM1 through the arm library and take one reading
    bool bench = false; // a test bench is meant: the bench arm simulator is no failure
    bool started = false;  // the module was loaded and started already: why start-up failed is the question
};

// The module the host program would load: Windows: KESTAR.dll in the folder the App
// Paths entry names, when it is there; else (and on Linux, where the host's loader
// finds libkestar.so) DefaultModulePath().
std::string ModuleTheHostLoads();

// The doctor's exit status.
constexpr int kDoctorStarts = 0;         // start-up returns 1 and nothing found stops the module's work
constexpr int kDoctorStartFails = 1;     // start-up would return 0 (or the host cannot call it)
constexpr int kDoctorMainJobFails = 3;   // start-up returns 1, but a FAIL stops every arm reading

// What the doctor concluded, as its verdict line says it.
struct DoctorVerdict {
    int exitCode = kDoctorStartFails;
    int result = -1;         // what InitializeCommunications returns; -1: the host cannot call it
    bool errorSet = false;   // start-up wrote errorCode and errorText
    int errorCode = 0;
    std::string errorText;
    std::string reason;      // the check of the first reason; empty when start-up succeeds
};

// Runs every check and start-up's own sequence; prints nothing.
DoctorVerdict Diagnose(const DoctorOptions& options, std::string* report = nullptr);

// The doctor's checks of what start-up reads from the settings file, and of where
// it finds it: the install folder (with the App Paths checks before it), the log
// folder that holds the file, the settings file, its section, CreateLogFile and
// PORT1 to PORT6, each line judged after start-up's own sequence ran through the
// guards (devices not tried). A non-empty readFrom is read in place of the settings
// file: a changed file, judged before it takes the old one's place. A non-empty
// installFolder is taken as what the App Paths entry names.
Report JudgeSettings(const std::string& readFrom = std::string(), const std::string& installFolder = std::string());

// Prints one line (or JSON object) per check and one for the verdict. Returns the
// exit status above.
int RunDoctor(const DoctorOptions& options);

}  // namespace kestar::tools
