#include "tools/wdmusb-sim/scenario/parser.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "tools/wdmusb-sim/scenario/values.h"

namespace wdmusbsim {

namespace {

// The names the lines read so far have defined, by kind ("device", "task").
class NameBook {
public:
    struct Entry {
        std::string kind;
        std::string name;
        int line = 0;
    };
    const Entry* find(std::string_view kind, std::string_view name) const {
        for (const auto& e : entries_)
            if (e.kind == kind && e.name == name)
                return &e;
        return nullptr;
    }
    std::optional<std::string> last(std::string_view kind) const {
        for (auto e = entries_.rbegin(); e != entries_.rend(); ++e)
            if (e->kind == kind)
                return e->name;
        return std::nullopt;
    }
    std::string list(std::string_view kind) const {
        std::string out;
        for (const auto& e : entries_)
            if (e.kind == kind && out.find("'" + e.name + "'") == std::string::npos)
                out += (out.empty() ? "" : ", ") + ("'" + e.name + "'");
        return out.empty() ? "none yet" : out;
    }
    void define(std::string_view kind, std::string_view name, int line) {
        entries_.push_back({std::string(kind), std::string(name), line});
    }

private:
    std::vector<Entry> entries_;
};

struct LineError {
    SourceLocation at;
    std::string message;
};

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string namesOf(const std::vector<CommandSpec>& table) {
    std::string out;
    for (const auto& c : table)
        out += (out.empty() ? "" : ", ") + std::string(c.name);
    return out;
}

// "expected what: one of a, b, c; found 'x' (did you mean 'y'?)": a suggestion when what was
// found is close to one of them.
std::string notAmong(std::string_view what, const std::vector<CommandSpec>& table,
                     const Token* found) {
    std::string text = "expected " + std::string(what) + ", one of: " + namesOf(table);
    if (found == nullptr)
        return text;
    text += "; found '" + found->text + "'";
    for (const auto& c : table)
        if (editDistance(c.name, found->text) <= 2)
            return text + " (did you mean '" + std::string(c.name) + "'?)";
    return text;
}

// How a parameter is called in messages: "nth=", or in capitals when given by position.
std::string paramName(const ParamSpec& param) {
    std::string name(param.name);
    if (!param.positional)
        return name + "=";
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

SourceLocation after(const Token& token) {
    const int quotes = token.kind == Token::Kind::Quoted ? 2 : 0;
    return {token.at.line, token.at.column + static_cast<int>(token.text.size()) + quotes};
}

std::string keyList(const CommandSpec& entry) {
    std::string out;
    for (const auto& p : entry.params)
        out += (out.empty() ? "" : ", ") + std::string(p.name) + "=";
    if (entry.background)
        out += (out.empty() ? "" : ", ") + std::string("as=");
    return out.empty() ? "none" : out;
}

// Reads one line of tokens into a step, against the table and the names defined so far.
class LineReader {
public:
    LineReader(const std::vector<CommandSpec>& table, NameBook& names,
               const std::vector<Token>& tokens)
        : table_(table), names_(names), tokens_(tokens) {}

    std::optional<LineError> read(Step& step) {
        if (auto error = readCommand(step))
            return error;
        if (auto error = readArguments(step))
            return error;
        if (auto error = completeArguments(step))
            return error;
        for (const auto& [kind, name] : definitions_)
            names_.define(kind, name, step.line());
        return std::nullopt;
    }

private:
    std::optional<LineError> readCommand(Step& step) {
        const Token& first = tokens_.front();
        step.at = first.at;
        const CommandSpec* entry =
            first.kind == Token::Kind::Word ? findCommand(table_, first.text) : nullptr;
        if (entry == nullptr)
            return LineError{first.at, notAmong("a command", table_, &first)};
        step.name = entry->name;
        next_ = 1;
        if (!entry->subcommands.empty()) {
            if (next_ >= tokens_.size())
                return LineError{after(first),
                                 notAmong("what to " + step.name, entry->subcommands, nullptr)};
            const Token& second = tokens_[next_];
            const CommandSpec* sub = second.kind == Token::Kind::Word
                                         ? findCommand(entry->subcommands, second.text)
                                         : nullptr;
            if (sub == nullptr)
                return LineError{second.at,
                                 notAmong("what to " + step.name, entry->subcommands, &second)};
            step.name += " " + std::string(sub->name);
            entry = sub;
            ++next_;
        }
        step.command = entry;
        return std::nullopt;
    }

    std::optional<LineError> readArguments(Step& step) {
        const CommandSpec& entry = *step.command;
        while (next_ < tokens_.size()) {
            const Token& token = tokens_[next_];
            if (token.kind == Token::Kind::Equals)
                return LineError{token.at, "expected a parameter name before '='"};
            const bool keyed = token.kind == Token::Kind::Word && next_ + 1 < tokens_.size() &&
                               tokens_[next_ + 1].kind == Token::Kind::Equals;
            if (keyed) {
                if (next_ + 2 >= tokens_.size() || tokens_[next_ + 2].kind == Token::Kind::Equals)
                    return LineError{after(tokens_[next_ + 1]),
                                     "expected a value after '" + token.text + "='"};
                const Token& value = tokens_[next_ + 2];
                next_ += 3;
                if (auto error = readKeyed(step, token, value))
                    return error;
                continue;
            }
            const ParamSpec* param = nextPositional(entry, step);
            if (param == nullptr)
                return LineError{token.at, "expected no more arguments for " + step.name +
                                               " (its parameters: " + keyList(entry) +
                                               "), found '" + token.text + "'"};
            ++next_;
            if (auto error = add(step, *param, token))
                return error;
        }
        return std::nullopt;
    }

    // The first positional parameter not given yet (by position or by its key).
    static const ParamSpec* nextPositional(const CommandSpec& entry, const Step& step) {
        for (const auto& p : entry.params)
            if (p.positional && !step.has(p.name))
                return &p;
        return nullptr;
    }

    std::optional<LineError> readKeyed(Step& step, const Token& key, const Token& value) {
        const CommandSpec& entry = *step.command;
        if (key.text == "as" && entry.background)
            return readBackground(step, key, value);
        for (const auto& p : entry.params)
            if (p.name == key.text)
                return add(step, p, value, key.at);
        return LineError{key.at, "expected a parameter of " + step.name + " (" + keyList(entry) +
                                     "), found '" + key.text + "='"};
    }

    std::optional<LineError> readBackground(Step& step, const Token& key, const Token& value) {
        static const ParamSpec kTask{.name = "as", .type = ValueType::Name};
        if (!step.background.empty())
            return LineError{key.at, "expected as= only once"};
        Value read;
        if (auto error = readValue(kTask, value, read))
            return LineError{value.at, *error};
        if (const auto* earlier = names_.find("task", read.word))
            return LineError{value.at, "expected a new name for the background step; '" +
                                           read.word + "' was given on line " +
                                           std::to_string(earlier->line)};
        step.background = read.word;
        definitions_.emplace_back("task", read.word);
        return std::nullopt;
    }

    std::optional<LineError> add(Step& step, const ParamSpec& param, const Token& token,
                                 std::optional<SourceLocation> keyAt = std::nullopt) {
        if (step.has(param.name))
            return LineError{keyAt.value_or(token.at),
                             "expected " + std::string(param.name) + " only once"};
        Value value;
        if (auto error = readValue(param, token, value))
            return LineError{token.at, *error};
        if (!param.uses.empty() && names_.find(param.uses, value.word) == nullptr)
            return LineError{token.at, "expected the name of a " + std::string(param.uses) +
                                           " given before this line (" + names_.list(param.uses) +
                                           "), found '" + value.word + "'"};
        if (!param.defines.empty()) {
            const auto* earlier = names_.find(param.defines, value.word);
            if (param.definesOnce && earlier != nullptr)
                return LineError{token.at, "expected a new name for the " +
                                               std::string(param.defines) + "; '" + value.word +
                                               "' was given on line " +
                                               std::to_string(earlier->line)};
            definitions_.emplace_back(std::string(param.defines), value.word);
        }
        step.args.emplace_back(std::string(param.name), std::move(value));
        return std::nullopt;
    }

    // Required parameters present; absent names that default to the last one filled in.
    std::optional<LineError> completeArguments(Step& step) {
        for (const auto& p : step.command->params) {
            if (step.has(p.name))
                continue;
            if (p.usesLastWhenAbsent) {
                auto last = names_.last(p.uses);
                if (!last)
                    return LineError{step.at, "expected a " + std::string(p.uses) + " for " +
                                                  step.name +
                                                  ", and none is given before "
                                                  "this line (plug one in first)"};
                Value value;
                value.text = value.word = *last;
                value.at = step.at;
                step.args.emplace_back(std::string(p.name), std::move(value));
            } else if (p.required) {
                return LineError{after(tokens_.back()), "expected " + paramName(p) + " for " +
                                                            step.name + ": " + describeType(p)};
            }
        }
        return std::nullopt;
    }

    const std::vector<CommandSpec>& table_;
    NameBook& names_;
    const std::vector<Token>& tokens_;
    std::size_t next_ = 0;
    std::vector<std::pair<std::string, std::string>> definitions_; // kind, name
};

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

} // namespace

std::string Diagnostic::format() const {
    std::string out =
        file + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + message;
    if (sourceLine.empty())
        return out;
    const std::string number = std::to_string(at.line);
    std::string line = sourceLine;
    std::replace(line.begin(), line.end(), '\t', ' ');
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    out += "\n  " + number + " | " + line;
    out += "\n  " + std::string(number.size(), ' ') + " | " +
           std::string(static_cast<std::size_t>(std::max(at.column - 1, 0)), ' ') + "^";
    return out;
}

ParseResult parseScenario(std::string file, std::string_view text,
                          const std::vector<CommandSpec>& table) {
    ParseResult result;
    result.scenario.file = file;
    const std::vector<std::string> source = splitLines(text);
    const auto diagnose = [&](SourceLocation at, std::string message) {
        const auto index = static_cast<std::size_t>(at.line - 1);
        result.errors.push_back(
            {file, at, std::move(message), index < source.size() ? source[index] : std::string()});
    };
    NameBook names;
    for (const TokenLine& line : tokenize(text)) {
        if (line.error) {
            diagnose(line.error->at, line.error->message);
            continue;
        }
        Step step;
        LineReader reader(table, names, line.tokens);
        if (auto error = reader.read(step)) {
            diagnose(error->at, std::move(error->message));
            continue;
        }
        result.scenario.steps.push_back(std::move(step));
    }
    return result;
}

} // namespace wdmusbsim
