#include "start_up_failure.h"

#include "doctor_checks.h"

#include "serial/status_codes.h"

#include <cstring>

namespace kestar::tools {

StartUpFailure ExplainFailedStartUp(const std::string& modulePath, const InterfaceBlock& block) {
    DoctorOptions options;
    options.modulePath = modulePath;
    options.started = true;
    options.bench = true;  // which arm library it is never makes start-up return 0
    Doctor doctor(options);
    const DoctorVerdict verdict = doctor.Run();
    StartUpFailure failure;
    if (!verdict.reason.empty()) {
        for (const Check& check : doctor.report().checks()) {
            if (check.name != verdict.reason) continue;
            failure = {check.name, check.found, check.todo};
            return failure;
        }
    }
    // The observation found nothing in the way: what stopped start-up only an open
    // could tell (a device that is there but would not open), and start-up wrote its
    // status into the block.
    if (block.errorCode != 0) {
        const std::string text(block.errorText, strnlen(block.errorText, sizeof block.errorText));
        const serial::StatusCode& row = serial::StatusRow(block.errorCode);
        failure.reason = "port";
        failure.found =
            "a port could not be opened: errorCode " + std::to_string(block.errorCode) + " \"" + text + "\"";
        if (row.code == block.errorCode && row.advice != nullptr) failure.todo = row.advice;
    } else {
        failure.reason = "start-up";
        failure.found = "start-up returned 0 without a reason the observation could name";
    }
    return failure;
}

}  // namespace kestar::tools
