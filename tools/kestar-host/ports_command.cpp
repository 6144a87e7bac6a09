// The port list runs the module's own rules: the COM names it opens
// (platform::ComDeviceTarget), the settings reader and port-line plan the loopback
// test chooses its line with (ChooseLine), the arm's port of start-up, and the port
// layer's open that the doctor's --open and the loopback test use. Each port is a
// check of the doctor's report, so text and JSON Lines look as the doctor's do.
#include "ports_command.h"

#include "doctor_guards.h"
#include "doctor_loopback.h"
#include "doctor_report.h"
#include "doctor_system.h"
#include "serial_ports.h"

#include "host/start_up.h"
#include "serial/port_roles.h"
#include "serial/status_codes.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestar::tools {
namespace {

constexpr const char* kArrow = " \xE2\x86\x92 ";  // " → "

#if defined(_WIN32)
constexpr const char* kNoPortTodo =
    "plug in the adapter and install its driver (Device Manager shows it under Ports (COM & LPT)); under Wine "
    "link it as dosdevices/comN in the prefix";
#else
constexpr const char* kNoPortTodo = "plug in the adapter, or link its device as $KESTAR_DEVICES/comN";
#endif

std::string ComName(int com) { return "COM" + std::to_string(com); }

int ArmCom() { return std::atoi(kArmPortName + 3); }  // "COM1"

std::string Settings(const ComRequest& request) {
    return std::to_string(request.baudRate) + " " + std::string(1, request.parity) + " " +
           std::to_string(request.dataBits) + " " + std::to_string(request.stopBits);
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(SystemText(text));
}

// The device and what the system says of it.
std::string DeviceText(const SerialPortRecord& port) {
    std::string text = port.link.empty() ? port.device : port.link + kArrow + port.device;
    if (text.empty()) text = "no DOS device name " + ComName(port.com);
    text = SystemText(text);
    if (!port.name.empty() && port.device.find(port.name) == std::string::npos) text += " (" + SystemText(port.name) + ")";
    if (!port.friendlyName.empty()) text += " " + Quoted(port.friendlyName);
    if (!port.vendorId.empty()) text += " USB " + port.vendorId + ":" + port.productId;
    if (!port.manufacturer.empty()) text += " " + Quoted(port.manufacturer);
    if (!port.product.empty()) text += " " + Quoted(port.product);
    if (!port.serial.empty()) text += " serial " + Quoted(port.serial);
    return text;
}

void AddFields(const SerialPortRecord& port, Check& check) {
    check.Json("com", port.com > 0 ? nlohmann::ordered_json(port.com) : nlohmann::ordered_json(nullptr));
    check.Json("device", TextOrNull(port.device)).Json("link", TextOrNull(port.link));
    check.Json("name", TextOrNull(port.name)).Text("source", port.source).Json("driver", TextOrNull(port.driver));
    check.Json("friendlyName", TextOrNull(port.friendlyName)).Json("vendorId", TextOrNull(port.vendorId));
    check.Json("productId", TextOrNull(port.productId)).Json("manufacturer", TextOrNull(port.manufacturer));
    check.Json("product", TextOrNull(port.product)).Json("serial", TextOrNull(port.serial));
}

// Which port line names the port, and whether it is the arm's.
void AddUse(const SerialPortRecord& port, const LineChoice& choice, Check& check) {
    const bool arm = port.com == ArmCom();
    check.Flag("arm", arm).Json("key", TextOrNull(choice.key));
    if (!choice.key.empty()) {
        const PortRole& role = kPortRoles[PlanPortLine(choice.line).role];
        check.found += "; " + choice.key + " names it: start-up opens " + role.name + " (" + role.fieldName +
                       ") at " + Settings(choice.request);
        check.Text("role", role.name).Text("roleField", role.fieldName).Text("line", choice.line);
    }
    if (arm) check.found += std::string("; the arm's port: start-up opens the arm library on ") + kArmPortName;
    if (arm && !choice.key.empty()) {
        check.Set(Level::kWarn, check.found + " first, so " + choice.key + " fails with " +
                                    std::to_string(serial::kPortInUse) + " \"" +
                                    serial::StatusMessage(serial::kPortInUse) + "\" if the arm library holds it",
                  "give " + choice.key + " another COM number: " + kArmPortName + " is the arm's");
    }
    if (!arm && choice.key.empty()) check.found += "; no port line names it";
}

// Opened through the module's port layer with the line's settings and closed again.
void TryOpen(const SerialPortRecord& port, const LineChoice& choice, Check& check) {
    // Under Wine, a port another process holds is refused as Windows refuses it.
    std::unique_ptr<ExclusiveComOpens> windowsRule;
    if (UnderWine()) windowsRule = std::make_unique<ExclusiveComOpens>();
    serial::Port* opened = OpenLinePort(choice.request);
    const std::int32_t status = opened->status;
    opened->ops.Close(opened);
    check.Int("openStatus", status);
    const std::string com = ComName(port.com);
    if (status == serial::kStatusOk) {
        check.found += "; opened at " + Settings(choice.request) + " and closed again, nothing sent";
        return;
    }
    const char* advice = serial::StatusRow(status).advice;
    if (status == serial::kPortInUse) {
        check.Set(Level::kWarn, check.found + "; " + HeldByAnotherProgram(com, port.device,
                                                                       ExclusiveComOpens::HeldElsewhere(port.com)),
                  "close the program that uses " + com + " before the host starts");
    } else {
        check.Set(Level::kWarn,
                  check.found + "; cannot be opened: " + std::to_string(status) + " \"" +
                      serial::StatusMessage(status) + "\"",
                  advice != nullptr ? advice : "check the device and its driver");
    }
}

void AddPort(const SerialPortRecord& port, const PortsRequest& request, Report& report) {
    Check& check = report.Add(port.com > 0 ? ComName(port.com) : port.name);
    AddFields(port, check);
    check.found = DeviceText(port);
    if (port.com <= 0) {
        check.Set(Level::kWarn, check.found + ": no COM number reaches it (the module opens $KESTAR_DEVICES/comN, "
                                              "else /dev/ttyS<N-1>)",
                  "link it as $KESTAR_DEVICES/comN (ln -s " + port.device + " \"$KESTAR_DEVICES/comN\"), N from 2: " +
                      kArmPortName + " is the arm's");
        return;
    }
    const LineChoice choice = ChooseLine(port.com);
    AddUse(port, choice, check);
    if (port.missing || port.device.empty()) {
        check.Set(Level::kWarn, check.found + "; the device is not there",
                  port.missing ? "plug in the adapter, or correct the link " + port.link
                               : "reinstall the port's driver: the module opens \\\\.\\" + ComName(port.com));
    }
    if (request.open) TryOpen(port, choice, check);
}

}  // namespace

bool ParsePortsArguments(const std::vector<std::string>& args, PortsRequest& request, std::string& problem) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            request.json = true;
        } else if (args[i] == "--open") {
            request.open = true;
        } else if (args[i] == "--module") {
            ++i;  // the program's own option: the list does not depend on the module
        } else {
            problem = "ports takes --json and --open, not " + args[i];
            return false;
        }
    }
    return true;
}

int ListPorts(const PortsRequest& request, std::string& out) {
    Report report;
    for (const SerialPortRecord& port : FindSerialPorts(request.sysRoot)) AddPort(port, request, report);
    const int exit = report.checks().empty() ? kPortsNone : kPortsListed;
    if (exit == kPortsNone) report.Add("ports").Set(Level::kWarn, "no serial port found", kNoPortTodo);
    out = report.Render(request.json);
    return exit;
}

int RunPorts(const PortsRequest& request) {
    const Utf8Console console;
    std::string out;
    const int exit = ListPorts(request, out);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    return exit;
}

}  // namespace kestar::tools
