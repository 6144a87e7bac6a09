// The commands GetCommData knows: code, name, what the command trace writes for it
// and what the module does with it. Adding a command touches this table only.
#pragma once

#include "kestar.h"

#include <cstddef>

namespace kestar {

enum class CommandAction {
    kAcknowledge,  // returns 1 at once, the command left in the block
    kReady,        // sets interfaceReady, then as kAcknowledge
    kArmReading,   // one reading of the arm into the block, then as kAcknowledge
    kResetEncoder, // the arm's ResetEncoder, then the command becomes C_READ_COORDS
    kHeadMove,     // the probe's headMoveValue, then the command becomes C_READ_COORDS
    kNothing,      // the command becomes C_READ_COORDS
};

enum class CommandTraceForm {
    kName,       // "-> NAME"
    kNameBlank,  // "-> NAME " (the trace has always written this one so)
    kParameter,  // "-> NAME <commandParam>"
    kCallbacks,  // "-> NAME <<callbacksParam>>"
};

struct Command {  // NOLINT(clang-analyzer-optin.performance.Padding): members in the table's column order
    int code;
    const char* name;
    CommandTraceForm trace;
    bool traced;  // false: too frequent for the log
    CommandAction action;
};

inline constexpr Command kCommands[] = {
    {C_DCC_STOP, "C_DCC_STOP", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_HOME_CMM, "C_HOME_CMM", CommandTraceForm::kName, true, CommandAction::kResetEncoder},
    {C_PH9_MOVE_POS, "C_PH9_MOVE_POS", CommandTraceForm::kName, true, CommandAction::kHeadMove},
    {C_MODE_AUTO, "C_MODE_AUTO", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_MODE_MAN, "C_MODE_MAN", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_WAIT_DCC, "C_WAIT_DCC", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_DCC_START, "C_DCC_START", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_M_POINT, "C_M_POINT", CommandTraceForm::kName, false, CommandAction::kArmReading},
    {C_SEND_POS_POINT, "C_SEND_POS_POINT", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_SEND_PT_MES, "C_SEND_PT_MES", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_SET_DCC_PARAM, "C_SET_DCC_PARAM", CommandTraceForm::kParameter, true, CommandAction::kNothing},
    {C_INITIALIZE_INTERFACE, "C_INITIALIZE_INTERFACE", CommandTraceForm::kName, true, CommandAction::kReady},
    {C_SEND_STRING, "C_SEND_STRING", CommandTraceForm::kName, true, CommandAction::kNothing},
    {C_READ_COORDS, "C_READ_COORDS", CommandTraceForm::kName, false, CommandAction::kArmReading},
    {C_RESET_ERROR, "C_RESET_ERROR", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_CHANGE_PARAMETER, "C_CHANGE_PARAMETER", CommandTraceForm::kName, true, CommandAction::kNothing},
    {C_CALLBACKS, "C_CALLBACKS", CommandTraceForm::kCallbacks, true, CommandAction::kNothing},
    {C_SEND_APPRCH_POINT, "C_SEND_APPRCH_POINT", CommandTraceForm::kName, true, CommandAction::kAcknowledge},
    {C_READ_STATUS, "C_READ_STATUS", CommandTraceForm::kName, true, CommandAction::kArmReading},
    {C_SCAN_CURVE, "C_SCAN_CURVE", CommandTraceForm::kName, true, CommandAction::kNothing},
    {C_SETUP_CONTROL, "C_SETUP_CONTROL", CommandTraceForm::kName, true, CommandAction::kNothing},
    {C_MEASURE_MODE, "C_MEASURE_MODE", CommandTraceForm::kName, true, CommandAction::kNothing},
    {C_CALIBRATE_PROBE, "C_CALIBRATE_PROBE", CommandTraceForm::kNameBlank, true, CommandAction::kNothing},
};
inline constexpr int kCommandCount = static_cast<int>(sizeof kCommands / sizeof kCommands[0]);

namespace detail {
constexpr int HighestCommandCode() {
    int highest = 0;
    for (const Command& command : kCommands) highest = command.code > highest ? command.code : highest;
    return highest;
}
struct CommandIndex {
    signed char row[HighestCommandCode() + 1];
};
constexpr CommandIndex MakeCommandIndex() {
    CommandIndex index{};
    for (signed char& row : index.row) row = -1;
    for (int i = 0; i < kCommandCount; ++i) index.row[kCommands[i].code] = static_cast<signed char>(i);
    return index;
}
inline constexpr CommandIndex kCommandIndex = MakeCommandIndex();
}  // namespace detail

// The command of code; null for a code the table does not hold. The reading path
// asks this at every call: one bounds check and one array look-up.
constexpr const Command* FindCommand(int code) {
    if (code < 0 || code >= static_cast<int>(sizeof detail::kCommandIndex.row)) return nullptr;
    // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c): the rows are signed on purpose, -1 being none.
    const int row = detail::kCommandIndex.row[code];
    return row < 0 ? nullptr : &kCommands[row];
}

}  // namespace kestar
