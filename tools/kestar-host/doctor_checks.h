// The doctor's checks, in the files along its seams: installation checks
// (doctor_installation.cpp), port lines (doctor_port_lines.cpp), start-up's own
// sequence run through the guards and the verdict (doctor.cpp).
#pragma once

#include "doctor.h"
#include "doctor_report.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestar {
class RegKey;
}  // namespace kestar

namespace kestar::tools {

// What start-up's own sequence did, run through the guards.
struct ObservedStartUp {
    bool ran = false;
    int result = 0;
    bool errorSet = false;  // a port failure writes errorCode and errorText; a missing key does not
    std::int32_t errorCode = 0;
    std::string errorText;
    std::vector<std::string> keysRead;  // settings keys in the order start-up asked for them
    std::string stopKey;                // the port key start-up stopped at; empty when it did not stop
    // --arm: one reading between start-up's arm calls and ChiudePorta.
    bool armRead = false;
    double position[3] = {};
    int armStatus = 0;
    std::string armError;  // the reading failed: why
};

// The arm library the host program would load for the module in moduleFolder: the
// module's own search, except that a file this tool's process finds only in this
// tool's own folder is not one the host program would find.
void* OpenArmLibraryAsTheHost(const std::string& moduleFolder, const std::string& hostFolder, std::string& file,
                              std::string& problem);

// Problems of a port line's settings by the driver's rules: the status each gives, and what it is.
using LineProblems = std::vector<std::pair<std::int32_t, std::string>>;

class Doctor {
public:
    explicit Doctor(const DoctorOptions& options) : options_(options) {}
    DoctorVerdict Run();
    // The settings checks alone (JudgeSettings).
    Report RunSettingsChecks();
    const Report& report() const { return report_; }

private:
    // Installation checks.
    void ChooseModule();
    void CheckModule();
    void CheckInstallFolder();
    int CheckAdministrator();
    bool CheckAppPathsEntry(bool administrator, const std::string& standIn, std::string& pathValue);
    bool CheckPathValue(RegKey& key, std::string& pathValue);
    void CheckHostFolder();
    void CheckArmTable();
    void CheckLog();
    void CheckArmLibrary();
    void CheckSettings();
    void CheckArmReading();

    // Port lines.
    struct PortLineView;
    void CheckPortLine(int n, bool present, const std::string& value, const std::string& settingsPath);
    // A line passed over or refused before a device is tried: true when the check is told.
    bool CheckLineOpeningNothing(Check& p, const PortLineView& v);
    std::int32_t ExpectedOpenStatus(const PortLineView& v, const LineProblems& problems) const;
    void ExplainOpenStatus(const PortLineView& v, std::int32_t status, const LineProblems& problems, std::string& what,
                           std::string& todo) const;
    void FailOpenLine(Check& p, const PortLineView& v, std::int32_t status, const LineProblems& problems);
    void PassOpenLine(Check& p, const PortLineView& v);
    void FailPort(Check& p, const std::string& stop, std::int32_t status, const std::string& what,
                  const std::string& todo);
    bool Reached(const std::string& key) const;

    // Start-up's own sequence.
    void RunStartUp();
    void ObserveStartUp();
    void TakeArmReading();
    DoctorVerdict Verdict();
    const Check& FirstReason(const Check& unexplained) const;
    void StartUpFailsVerdict(const Check& reason, Check& line, DoctorVerdict& verdict) const;
    void StartUpWorksVerdict(Check& line, DoctorVerdict& verdict) const;
    // Start-up ends at the check just added, unless it ended before.
    void EndStartUp();

    const DoctorOptions& options_;
    std::string modulePath_;  // the module checked: --module, else the one the host loads
    std::string hostFolder_;  // the App Paths folder, as start-up's lookup finds it
    Report report_;
    ObservedStartUp observed_;
    bool moduleUnusable_ = false;
    bool ended_ = false;  // the checks so far show start-up stopping
    std::size_t endingCheck_ = 0;
    std::vector<std::size_t> mainJobFailures_;  // FAIL checks that stop every arm reading
    std::vector<std::size_t> hostFailures_;     // FAIL checks: the host program would not load this module
    bool armIsBench_ = false;                   // the arm library found is the bench arm simulator
    bool armUsable_ = false;                    // the library the host would load has all its calls
    std::string armFile_;
    std::map<std::int32_t, std::string> heldBy_;  // COM number -> the key whose port start-up holds
};

}  // namespace kestar::tools
