// The commands of the scenario language, as data: each command is one CommandSpec entry naming
// its parameters, their types, the heading of its step and the routine that runs it. The parser
// checks every line against this table, the reference (wdmusb-sim --commands) is printed from it,
// and a new command is one more entry in the list of its area.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/wdmusb-sim/scenario/lexer.h"

namespace wdmusbsim {

enum class ValueType {
    Name,         // a name: letters, digits, '_', '-', '.'
    Count,        // a whole number: 12, 0x1f, 64K (KiB), 1M (MiB)
    Byte,         // a number up to 255 (an endpoint address: 0x81)
    Status,       // STATUS_SUCCESS, success, or a number
    UsbdStatus,   // USBD_STATUS_STALL_PID, stall-pid, or a number
    UrbFunction,  // URB_FUNCTION_ABORT_PIPE, abort-pipe, or a number
    Bytes,        // hex bytes: 12010002 or "12 01 00 02"
    Bool,         // yes/no, on/off, true/false
    Choice,       // one of the parameter's choices
    Text,         // anything; quoted when it holds blanks
    Milliseconds, // 250, 250ms, 2s
};

// A parameter's value as read from the scenario.
struct Value {
    std::string text; // as written
    SourceLocation at;
    std::uint64_t number = 0;        // Count, Byte, Status, UsbdStatus, UrbFunction, Bool, ms
    std::vector<std::uint8_t> bytes; // Bytes
    std::string word;                // Name, Choice, Text
};

struct ParamSpec {
    std::string_view name; // the key (name=value), and how the reference calls a positional one
    ValueType type = ValueType::Name;
    bool positional = false; // given without its key, in order (name=value works too)
    bool required = false;
    std::vector<std::string_view> choices; // ValueType::Choice
    std::string_view help;                 // for the reference
    // Names that steps define and later steps use (a device, a background step). The parser
    // checks every use against the names defined on the lines before it.
    std::string_view defines;        // kind of name this parameter defines
    bool definesOnce = false;        // such a name may be defined only once per scenario
    std::string_view uses;           // kind of name this parameter must name
    bool usesLastWhenAbsent = false; // absent: the last name of its kind defined before the line
};

class StepContext;
using StepHandler = void (*)(StepContext&);

struct CommandSpec {
    std::string_view name;
    // The step's heading in the account, {param} standing for that argument as written. Empty
    // for checks (expect ...), which print under the step they follow.
    std::string_view title;
    std::string_view summary; // one line for the reference
    std::vector<ParamSpec> params;
    StepHandler run = nullptr;
    bool background = false;              // may run on an application thread of its own: as=NAME
    std::vector<CommandSpec> subcommands; // `expect state ...`: the second word picks one
};

// Every command, by area; each list lives beside the routines of its commands.
const std::vector<CommandSpec>& commandTable();
std::vector<CommandSpec> deviceCommands();
std::vector<CommandSpec> busCommands();
std::vector<CommandSpec> faultCommands();
std::vector<CommandSpec> expectCommands();
std::vector<CommandSpec> flowCommands();
std::vector<CommandSpec> powerCommands();
std::vector<CommandSpec> ioCommands();
CommandSpec expectPowerCommand(); // `expect power`, among the expectations

const CommandSpec* findCommand(const std::vector<CommandSpec>& table, std::string_view name);
// "a number (12, 0x1f, 64K)": what a value of the parameter looks like, for errors and the
// reference.
std::string describeType(const ParamSpec& param);

// Parameters many commands share.
ParamSpec deviceParam(); // [DEVICE] or device=NAME; absent: the last plugged in
ParamSpec expectStatusParam(std::string_view help = {}); // expect=STATUS
ParamSpec endpointParam(std::string_view help = {});     // endpoint=0x81
// A system sleeping state: S1..S3, or S4 (hibernate); run.h's sleepStateOf reads it.
ParamSpec sleepStateParam(bool positional, std::string_view help);

} // namespace wdmusbsim
