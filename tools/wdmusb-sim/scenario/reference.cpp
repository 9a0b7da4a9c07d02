#include "tools/wdmusb-sim/scenario/reference.h"

#include <cctype>

#include "tools/wdmusb-sim/output/account.h"

namespace wdmusbsim {

namespace {

std::string usage(const std::string& name, const CommandSpec& command) {
    std::string out = name;
    for (const auto& p : command.params) {
        std::string piece = p.positional ? std::string(p.name) : std::string(p.name) + "=...";
        for (auto& c : piece)
            if (p.positional)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out += " " + (p.required ? piece : "[" + piece + "]");
    }
    if (command.background)
        out += " [as=NAME]";
    return out;
}

// What a value looks like; every choice, however many (here is where they are listed).
std::string typeText(const ParamSpec& param) {
    if (param.type != ValueType::Choice)
        return describeType(param);
    std::string out = "one of:";
    for (const auto& choice : param.choices)
        out += " " + std::string(choice);
    return out;
}

// An indented paragraph within kWidth, its later lines indented further.
void paragraph(std::string& out, std::string_view text) {
    constexpr int kWidth = 100;
    const auto lines = wrapText(text, kWidth - 8);
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i == 0 ? "    " : "        ") + lines[i] + "\n";
}

void describe(std::string& out, const std::string& name, const CommandSpec& command) {
    out += usage(name, command) + "\n";
    paragraph(out, command.summary);
    for (const auto& p : command.params)
        paragraph(out, std::string(p.name) + (p.positional ? "" : "=") + ": " +
                           std::string(p.help) + "; " + typeText(p));
    if (command.background)
        paragraph(out, "as=NAME: run on an application thread of its own; `wait NAME` joins it");
    out += "\n";
}

} // namespace

std::string commandReference(const std::vector<CommandSpec>& table) {
    std::string out;
    for (const auto& command : table) {
        if (command.subcommands.empty()) {
            describe(out, std::string(command.name), command);
            continue;
        }
        for (const auto& sub : command.subcommands)
            describe(out, std::string(command.name) + " " + std::string(sub.name), sub);
    }
    return out;
}

} // namespace wdmusbsim
