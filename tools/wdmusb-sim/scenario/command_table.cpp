#include "tools/wdmusb-sim/scenario/command_table.h"

namespace wdmusbsim {

const std::vector<CommandSpec>& commandTable() {
    static const std::vector<CommandSpec> table = [] {
        std::vector<CommandSpec> all;
        for (auto part : {deviceCommands, busCommands, ioCommands, powerCommands, faultCommands,
                          expectCommands, flowCommands})
            for (auto& command : part())
                all.push_back(std::move(command));
        return all;
    }();
    return table;
}

const CommandSpec* findCommand(const std::vector<CommandSpec>& table, std::string_view name) {
    for (const auto& command : table)
        if (command.name == name)
            return &command;
    return nullptr;
}

namespace {
constexpr std::size_t kChoicesListed = 12; // longer lists go to the reference
} // namespace

std::string describeType(const ParamSpec& param) {
    switch (param.type) {
    case ValueType::Name:
        return "a name (letters, digits, '_', '-', '.')";
    case ValueType::Count:
        return "a number (12, 0x1f, 64K)";
    case ValueType::Byte:
        return "a number from 0 to 255 (0x81)";
    case ValueType::Status:
        return "a status (STATUS_SUCCESS, success, or a number)";
    case ValueType::UsbdStatus:
        return "a USB status (USBD_STATUS_STALL_PID, stall-pid, or a number)";
    case ValueType::UrbFunction:
        return "a URB function (URB_FUNCTION_ABORT_PIPE, abort-pipe, or a number)";
    case ValueType::Bytes:
        return "hex bytes (12010002 or \"12 01 00 02\")";
    case ValueType::Bool:
        return "yes or no";
    case ValueType::Choice: {
        if (param.choices.size() > kChoicesListed)
            return "one of " + std::to_string(param.choices.size()) +
                   " names (wdmusb-sim --commands lists them), such as " +
                   std::string(param.choices[0]);
        std::string out = "one of ";
        for (std::size_t i = 0; i < param.choices.size(); ++i)
            out += (i == 0                          ? ""
                    : i + 1 == param.choices.size() ? " or "
                                                    : ", ") +
                   std::string(param.choices[i]);
        return out;
    }
    case ValueType::Text:
        return "text (quoted when it holds blanks)";
    case ValueType::Milliseconds:
        return "a time (250, 250ms, 2s)";
    }
    return "a value";
}

ParamSpec deviceParam() {
    return {.name = "device",
            .type = ValueType::Name,
            .positional = true,
            .help = "the device (default: the last one plugged in)",
            .uses = "device",
            .usesLastWhenAbsent = true};
}

ParamSpec expectStatusParam(std::string_view help) {
    return {.name = "expect",
            .type = ValueType::Status,
            .help = help.empty() ? "the status it must end with (default STATUS_SUCCESS)" : help};
}

ParamSpec endpointParam(std::string_view help) {
    return {.name = "endpoint",
            .type = ValueType::Byte,
            .help = help.empty() ? "an endpoint address, 0x81 (default: every endpoint)" : help};
}

} // namespace wdmusbsim
