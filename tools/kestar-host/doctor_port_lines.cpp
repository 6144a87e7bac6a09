// The port lines PORT1 to PORT6: what start-up made of each, told with the line's
// role, device and settings, every problem the line has, and what to write instead.
#include "doctor_checks.h"
#include "doctor_guards.h"
#include "doctor_system.h"

#include "host/start_up.h"
#include "platform/serial.h"
#include "serial/com_driver.h"
#include "serial/line_settings.h"
#include "serial/port_manager.h"
#include "serial/port_roles.h"
#include "serial/status_codes.h"

#include <cctype>
#include <cstdlib>
#include <iterator>

namespace kestar::tools {
namespace {

std::string StatusText(std::int32_t status) {
    return std::to_string(status) + " \"" + serial::StatusMessage(status) + "\"";
}

std::string RateAdvice() {
    std::string text = "use a rate up to " + std::to_string(serial::kHighestPlainRate);
    for (const serial::CodedRate& coded : serial::kCodedRates) {
        text += (&coded == serial::kCodedRates ? ", or " : " or ") + std::to_string(coded.rate);
    }
    return text;
}

std::string ParityAdvice() {
    std::string text = "use ";
    for (const serial::ParityLetter& parity : serial::kParityLetters) {
        if (&parity != serial::kParityLetters) text += &parity == std::end(serial::kParityLetters) - 1 ? " or " : ", ";
        text += parity.letter;
    }
    return text + " (either case)";
}

std::string StopBitsAdvice() {
    std::string text = "use ";
    for (const serial::StopBitsCount& stop : serial::kStopBitCounts) {
        text += (&stop == serial::kStopBitCounts ? "" : " or ") + std::to_string(stop.count);
    }
    return text + " stop bits";
}

std::string RoleList() {
    std::string list;
    for (int role = 0; role < kPortRoleCount; ++role) {
        if (!list.empty()) list += role + 1 < kPortRoleCount ? ", " : " or ";
        list += kPortRoles[role].name;
    }
    return list;
}

std::string Settings(const ComRequest& request) {
    return std::to_string(request.baudRate) + " " + std::string(1, request.parity) + " " +
           std::to_string(request.dataBits) + " " + std::to_string(request.stopBits);
}

std::string DefaultsText(const PortLine& line) {
    if (line.fields >= 6) return std::string();
    std::string text = "; defaults for";
    for (int field = line.fields; field < 6; ++field) text += (field == line.fields ? " " : ", ") + std::string(kPortLineFields[field]);
    return text + " (" + std::to_string(kPortLineDefaults.baudRate) + " baud, parity " +
           std::string(1, kPortLineDefaults.parity) + ", " + std::to_string(kPortLineDefaults.dataBits) +
           " data bits, " + std::to_string(kPortLineDefaults.stopBits) + " stop bit)";
}

nlohmann::ordered_json Defaults(const PortLine& line) {
    nlohmann::ordered_json names = nlohmann::ordered_json::array();
    for (int field = line.fields; field < 6; ++field) names.push_back(kPortLineFields[field]);
    return names;
}

// The blank-separated words of a line, as the scan sees them.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        std::size_t end = at;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// A line start-up opens only by falling back: a field that is no number, or no
// parity letter. Empty when the line says what it means.
std::string Fallback(const std::string& value, const PortLine& line, const ComRequest& request, std::string& todo) {
    const std::vector<std::string> words = Words(value);
    const std::string what = "start-up opens COM" + std::to_string(request.comNumber) + " at " + Settings(request);
    if (line.fields < 6 && static_cast<int>(words.size()) > line.fields && line.fields != 3) {
        const std::string& word = words[static_cast<std::size_t>(line.fields)];
        std::string digits;
        for (char c : word) {
            if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
        }
        todo = digits.empty() ? "write the " + std::string(kPortLineFields[line.fields]) + " as a number"
                              : "write " + digits;
        return Quoted(word) + " is not a number: " + what;
    }
    if (line.fields < 4) {
        todo = std::string("write the parity letter after the baud rate (") + kPortLineDefaults.parity +
               " for none)";
        return "no parity letter: " + what;
    }
    return std::string();
}

int ArmComNumber() { return std::atoi(kArmPortName + 3); }  // "COM1"

// Under Wine a second open of one COM device succeeds; the doctor still says what
// Windows does, and that the trial here would not show it.
std::string SecondOpenNote(bool opened) {
    return opened && UnderWine() ? " (Windows refuses the second open; Wine itself would open it)" : "";
}

}  // namespace

bool Doctor::Reached(const std::string& key) const {
    for (const std::string& read : observed_.keysRead) {
        if (read == key) return true;
    }
    return false;
}

void Doctor::EndStartUp() {
    if (ended_) return;
    ended_ = true;
    endingCheck_ = report_.checks().size() - 1;
}

// A port line as the checks below see it: start-up's plan for it, and the words
// the report uses for a line start-up would open.
struct Doctor::PortLineView {
    std::string key;
    std::string value;
    std::string stop;  // in front of what a line start-up does not reach is told
    bool reached = false;
    bool stopsHere = false;
    PortLinePlan plan{};
    std::string com;       // "COMn"
    std::string device;    // the system device the COM number names, where known
    std::string where;     // the COM port with its device path
    std::string settings;  // "9600 N 8 1"
    std::string defaults;  // the fields the line leaves to their defaults
};

namespace {

// Every problem of the line by the driver's rules, in SetLine's order.
LineProblems RuleProblems(const ComRequest& request, const std::string& com) {
    LineProblems problems;
    const std::int32_t rule = serial::CheckLineSettings(request.baudRate, request.parity, request.stopBits);
    if (rule == serial::kIllegalBaudRate) problems.emplace_back(rule, "the baud rate " + std::to_string(request.baudRate) + " of " + com + " is refused");
    std::uint8_t code = 0;
    if (!serial::ParityCode(request.parity, code)) problems.emplace_back(serial::kIllegalParity, "the parity " + Quoted(std::string(1, request.parity)) + " of " + com + " is refused");
    if (!serial::StopBitsCode(request.stopBits, code)) problems.emplace_back(serial::kIllegalStopBits, "the stop bits " + std::to_string(request.stopBits) + " of " + com + " are refused");
    if (rule != serial::kIllegalBaudRate && !serial::DriverTakesRate(request.baudRate)) {
        problems.emplace_back(serial::kGeneralError, "this platform's serial driver has no speed " + std::to_string(request.baudRate));
    }
    if (request.dataBits < serial::kFewestDataBits || request.dataBits > serial::kMostDataBits) {
        problems.emplace_back(serial::kGeneralError, "devices take " + std::to_string(serial::kFewestDataBits) + " to " + std::to_string(serial::kMostDataBits) + " data bits, not " + std::to_string(request.dataBits));
    }
    return problems;
}

}  // namespace

void Doctor::CheckPortLine(int n, bool present, const std::string& value, const std::string& settingsPath) {
    PortLineView v;
    v.key = PortKey(n);
    Check& p = report_.Add(v.key);
    p.startUpPath = true;
    p.Text("key", v.key);
    v.reached = Reached(v.key) && !ended_;
    v.stopsHere = v.reached && observed_.stopKey == v.key;
    v.stop = ended_ ? "not reached (start-up stops at " + report_.checks()[endingCheck_].name + "): " : std::string();
    if (!present) {
        p.Set(Level::kFail, v.stop + "missing or empty in " + Quoted(settingsPath) + ": start-up stops at this key",
              "add " + v.key + "=<role> <COM> <baud> <parity> <data bits> <stop bits>, or " + v.key +
                  "=Spare -1 for a slot without a device");
        p.Null("value").Text("action", "missing");
        EndStartUp();
        return;
    }
    v.value = value;
    v.plan = PlanPortLine(value);
    p.Text("value", value);
    if (CheckLineOpeningNothing(p, v)) return;
    const ComRequest& request = v.plan.request;
    v.com = "COM" + std::to_string(request.comNumber);
    v.device = platform::ComDeviceTarget(request.comNumber);
    v.settings = Settings(request);
    p.Int("com", request.comNumber).Int("baud", request.baudRate).Text("parity", std::string(1, request.parity));
    p.Int("dataBits", request.dataBits).Int("stopBits", request.stopBits).Json("defaults", Defaults(v.plan.line));
    p.Text("device", v.device);
    v.where = v.com + " (\\\\.\\" + v.com + (v.device.empty() ? "" : " \xE2\x86\x92 " + SystemText(v.device)) + ")";
    const LineProblems problems = RuleProblems(request, v.com);
    const std::int32_t status = ExpectedOpenStatus(v, problems);
    p.Flag("opened", v.reached && options_.open);
    v.defaults = DefaultsText(v.plan.line);
    if (status != 0) {
        FailOpenLine(p, v, status, problems);
        return;
    }
    PassOpenLine(p, v);
}

bool Doctor::CheckLineOpeningNothing(Check& p, const PortLineView& v) {
    const PortLine& line = v.plan.line;
    const std::string& stop = v.stop;
    switch (v.plan.action) {
        case PortLineAction::kNegativeCom:
            p.Set(Level::kOk, stop + Quoted(v.value) + ": COM " + std::to_string(line.comNumber) +
                                  ", the slot stays without a port");
            p.Text("action", "passed over: negative COM number");
            return true;
        case PortLineAction::kUnknownRole:
        case PortLineAction::kRoleTooLong: {
            const bool tooLong = v.plan.action == PortLineAction::kRoleTooLong;
            p.Set(Level::kWarn,
                  stop + Quoted(v.value) + ": the role " + Quoted(line.roleName) +
                      (tooLong ? "... is longer than " + std::to_string(kRoleNameSize - 1) + " characters"
                               : std::string(" is none of the device roles")) +
                      "; start-up passes the line over and opens nothing",
                  "use one of " + RoleList() + " (exactly so), or a COM number of -1 to leave the slot empty");
            p.Text("action", tooLong ? "passed over: role longer than 19 characters" : "passed over: unknown role");
            return true;
        }
        case PortLineAction::kSettingsLineTooLong:
            FailPort(p, stop, kPortLineTooLong,
                     "the line is " + std::to_string(kPortLineRefusedLength) +
                         " characters or more, the most the settings reader gives, and may have been cut",
                     serial::StatusRow(kPortLineTooLong).advice);
            return true;
        default:
            break;
    }
    const PortRole& role = kPortRoles[v.plan.role];
    p.Text("role", role.name).Text("roleField", role.fieldName);
    if (v.plan.action != PortLineAction::kComZero) return false;
    FailPort(p, stop, serial::kInvalidPort, "COM number 0 names no device (" + Quoted(v.value) + ")",
             serial::StatusRow(serial::kInvalidPort).advice);
    return true;
}

// Start-up's own answer where it reached the line; the rules where it did not.
std::int32_t Doctor::ExpectedOpenStatus(const PortLineView& v, const LineProblems& problems) const {
    if (v.reached) return v.stopsHere && observed_.errorSet ? observed_.errorCode : 0;
    if (heldBy_.find(v.plan.request.comNumber) != heldBy_.end()) return serial::kPortInUse;
    if (DeviceSurelyMissing(v.device)) return serial::kNo8250;
    if (!problems.empty()) return problems.front().first;
    return 0;
}

// What the failure of a line start-up would open is, and what to do about it.
void Doctor::ExplainOpenStatus(const PortLineView& v, std::int32_t status, const LineProblems& problems,
                               std::string& what, std::string& todo) const {
    const std::string& key = v.key;
    const std::string& com = v.com;
    const auto held = heldBy_.find(v.plan.request.comNumber);
    switch (status) {
        case serial::kNo8250:
            what = v.where + " does not exist";
            todo = "connect the device, or correct the COM number in " + key;
            break;
        case serial::kPortInUse:
            if (held != heldBy_.end()) {
                what = com + " is also the device of " + held->second + ", which start-up holds open";
                what += SecondOpenNote(options_.open);
                todo = "give " + key + " a device of its own";
            } else if (v.plan.request.comNumber == ArmComNumber() && options_.arm) {
                what = com + " is held by the arm library, which start-up opens on " + kArmPortName + " first";
                todo = "give " + key + " another COM number: " + kArmPortName + " is the arm's";
            } else {
                what = HeldByAnotherProgram(com, v.device, ExclusiveComOpens::HeldElsewhere(v.plan.request.comNumber));
                todo = "close the program that uses " + com + ", or change " + key;
            }
            break;
        case serial::kIllegalBaudRate: todo = RateAdvice() + " in " + key; break;
        case serial::kIllegalParity: todo = ParityAdvice() + " in " + key; break;
        case serial::kIllegalStopBits: todo = StopBitsAdvice() + " in " + key; break;
        default: {
            const char* advice = serial::StatusRow(status).advice;
            todo = advice != nullptr ? std::string(advice) + " (" + key + ")" : "change " + key;
            if (status == serial::kGeneralError && !problems.empty() && problems.front().first == serial::kGeneralError) {
                todo = "give " + key + " settings this platform's driver and the device take (a standard rate "
                                       "such as 9600 or 19200, " + std::to_string(serial::kFewestDataBits) +
                       " to " + std::to_string(serial::kMostDataBits) + " data bits)";
            } else if (status == serial::kGeneralError) {
                what = v.where + (options_.open ? " opened, but the device refused the line settings " + v.settings
                                                : " cannot be opened");
            }
            break;
        }
    }
}

void Doctor::FailOpenLine(Check& p, const PortLineView& v, std::int32_t status, const LineProblems& problems) {
    std::string what;
    std::string todo;
    ExplainOpenStatus(v, status, problems, what, todo);
    std::string also;
    for (const auto& [problemStatus, text] : problems) {
        if (what.empty() && problemStatus == status) {
            what = text;
        } else {
            also += "; also: " + text;
        }
    }
    if (what.empty()) what = v.where + " failed";
    FailPort(p, v.stop, status, what + " (" + Quoted(v.value) + v.defaults + ")" + also, todo);
}

void Doctor::PassOpenLine(Check& p, const PortLineView& v) {
    const ComRequest& request = v.plan.request;
    const std::string& key = v.key;
    const std::string& stop = v.stop;
    const std::string& defaults = v.defaults;
    if (!ended_) heldBy_[request.comNumber] = key;
    p.Int("status", 0).Text("message", "").Text("action", "open");
    const PortRole& role = kPortRoles[v.plan.role];
    const std::string opens = std::string(role.name) + " (" + role.fieldName + ") on " + v.where + " at " + v.settings;
    std::string fallbackTodo;
    const std::string fallback = Fallback(v.value, v.plan.line, request, fallbackTodo);
    if (!fallback.empty()) {
        p.Set(Level::kWarn, stop + fallback + " (" + Quoted(v.value) + defaults + ")", fallbackTodo + " in " + key);
    } else if (request.comNumber == ArmComNumber() && !options_.arm) {
        p.Set(Level::kWarn, stop + "start-up opens " + opens + defaults + ", after it opened the arm library on " +
                                kArmPortName + ": an arm library that holds its port makes this line fail with " +
                                StatusText(serial::kPortInUse),
              "give " + key + " another COM number, or run the doctor with --arm to find out");
    } else if (v.reached && options_.open) {
        p.Set(Level::kOk, stop + opens + " opened and closed again" + defaults);
    } else if (!serial::StandardRate(request.baudRate)) {
        p.Set(Level::kWarn, stop + "start-up opens " + opens + defaults + ", but " + std::to_string(request.baudRate) +
                                " is no standard rate: only opening the device tells whether it takes it",
              "run the doctor with --open, or use a standard rate such as 9600 or 19200 in " + key);
    } else {
        p.Set(Level::kOk, stop + "start-up opens " + opens + defaults + "; the device was not tried (--open tries it)");
    }
}

void Doctor::FailPort(Check& p, const std::string& stop, std::int32_t status, const std::string& what,
                      const std::string& todo) {
    p.Set(Level::kFail, stop + what + ": start-up reports " + StatusText(status), todo);
    p.Text("action", "refused").Int("status", status).Text("message", serial::StatusMessage(status));
    EndStartUp();
}

}  // namespace kestar::tools
