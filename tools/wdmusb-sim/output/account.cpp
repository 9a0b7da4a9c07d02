#include "tools/wdmusb-sim/output/account.h"

#include <algorithm>

#include "sim/util/status_names.h"

namespace wdmusbsim {

namespace {

std::string spaces(int count) {
    return std::string(static_cast<std::size_t>(std::max(count, 0)), ' ');
}

std::string padded(std::string_view text, int width) {
    return std::string(text) + spaces(width - static_cast<int>(text.size()));
}

} // namespace

std::vector<std::string> wrapText(std::string_view text, int width) {
    std::vector<std::string> lines;
    width = std::max(width, 10);
    while (static_cast<int>(text.size()) > width) {
        std::size_t cut = text.rfind(' ', static_cast<std::size_t>(width));
        const bool atSpace = cut != std::string_view::npos && cut > 0;
        if (!atSpace)
            cut = static_cast<std::size_t>(width);
        lines.emplace_back(text.substr(0, cut));
        text.remove_prefix(atSpace ? cut + 1 : cut);
    }
    if (!text.empty() || lines.empty())
        lines.emplace_back(text);
    return lines;
}

Account Account::deferred(Console& console) {
    return Account(console, Deferred{});
}

Account::Account(Account&& other) noexcept
    : console_(other.console_), keep_(other.keep_), steps_(other.steps_.load()),
      checks_(other.checks_.load()), failures_(other.failures_.load()) {
    std::lock_guard lock(other.mutex_);
    kept_ = std::move(other.kept_);
    failedLines_ = std::move(other.failedLines_);
}

void Account::emit(std::string text) {
    if (!keep_) {
        console_->line(text);
        return;
    }
    std::lock_guard lock(mutex_);
    kept_.push_back(std::move(text));
}

void Account::countFailure(int line) {
    ++failures_;
    if (line <= 0)
        return;
    std::lock_guard lock(mutex_);
    if (std::find(failedLines_.begin(), failedLines_.end(), line) == failedLines_.end())
        failedLines_.push_back(line);
}

std::string Account::row(std::string_view label, std::string_view value, std::string_view mark,
                         Style markStyle, Style textStyle) const {
    const Console& c = *console_;
    std::string text = padded(label, value.empty() ? 0 : kLabelWidth - 1) +
                       (value.empty() ? "" : " " + std::string(value));
    const int room = c.width() - kIndent - static_cast<int>(mark.size()) - 1;
    std::string out = spaces(kIndent);
    if (mark.empty() && static_cast<int>(text.size()) > room && !value.empty()) {
        // A long value goes on in its own column.
        const int column = static_cast<int>(text.size() - value.size());
        const auto lines = wrapText(value, c.width() - kIndent - column);
        out += c.paint(textStyle, text.substr(0, static_cast<std::size_t>(column)) + lines[0]);
        for (std::size_t i = 1; i < lines.size(); ++i)
            out += "\n" + spaces(kIndent + column) + c.paint(textStyle, lines[i]);
        return out;
    }
    if (mark.empty() || static_cast<int>(text.size()) <= room) {
        out += c.paint(textStyle, text);
        if (!mark.empty())
            out += spaces(room - static_cast<int>(text.size()) + 1) + c.paint(markStyle, mark);
        return out;
    }
    // Too long for one line with its mark: the text wraps, the mark ends the last line.
    auto lines = wrapText(text, room);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out += "\n" + spaces(kIndent + 2);
        out += c.paint(textStyle, lines[i]);
    }
    const int last = static_cast<int>(lines.back().size()) + (lines.size() > 1 ? 2 : 0);
    return out + spaces(room - last + 1) + c.paint(markStyle, mark);
}

void Account::step(std::string_view title, int line) {
    const int number = ++steps_;
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "[%2d] ", number);
    const std::string where = line > 0 ? "line " + std::to_string(line) : "";
    const Console& c = *console_;
    const int room = c.width() - static_cast<int>(std::string_view(prefix).size()) -
                     static_cast<int>(where.size()) - 1;
    auto lines = wrapText(title, room);
    std::string out = prefix + c.paint(Style::Bold, lines.front());
    for (std::size_t i = 1; i < lines.size(); ++i)
        out += "\n" + spaces(kIndent) + c.paint(Style::Bold, lines[i]);
    if (!where.empty())
        out +=
            spaces(room - static_cast<int>(lines.back().size()) + 1) + c.paint(Style::Dim, where);
    emit(std::move(out));
}

void Account::section(std::string_view text) {
    emit(console_->paint(Style::Cyan, "-- " + std::string(text)));
}

void Account::detail(std::string_view label, std::string_view value) {
    emit(row(label, value, {}, Style::Plain));
}

void Account::check(bool ok, std::string_view label, std::string_view value, int line) {
    ++checks_;
    if (!ok)
        countFailure(line);
    std::string text(value);
    if (line > 0 && !ok)
        text += (text.empty() ? "" : " ") + std::string("[line ") + std::to_string(line) + "]";
    emit(row(label, text, ok ? "ok" : "FAILED", ok ? Style::Green : Style::Red));
}

void Account::status(std::string_view label, NTSTATUS actual, NTSTATUS expected, int line) {
    std::string value = sim::statusName(actual);
    if (actual != expected)
        value += ", expected " + sim::statusName(expected);
    check(actual == expected, label, value, line);
}

void Account::finding(std::string_view rule, std::string_view message) {
    countFailure(0);
    const Console& c = *console_;
    std::string out = spaces(kIndent) + c.paint(Style::Red, "FINDING [" + std::string(rule) + "]");
    for (const auto& piece : wrapText(message, c.width() - kIndent - 2))
        out += "\n" + spaces(kIndent + 2) + piece;
    emit(std::move(out));
}

void Account::context(std::string_view text) {
    emit(spaces(kIndent + 2) + console_->paint(Style::Dim, text));
}

void Account::hint(std::string_view text) {
    std::string out;
    for (const auto& piece : wrapText(text, console_->width() - kIndent)) {
        if (!out.empty())
            out += "\n";
        out += spaces(kIndent) + console_->paint(Style::Yellow, piece);
    }
    emit(std::move(out));
}

void Account::trace(std::string_view text) {
    emit(spaces(kIndent) + console_->paint(Style::Dim, text));
}

void Account::plain(std::string_view text) {
    emit(std::string(text));
}

void Account::flushInto(Account& target) {
    std::vector<std::string> lines;
    std::vector<int> failed;
    {
        std::lock_guard lock(mutex_);
        lines.swap(kept_);
        failed = failedLines_;
    }
    for (auto& text : lines)
        target.emit(std::move(text));
    target.checks_ += checks_.exchange(0);
    const int count = failures_.exchange(0);
    target.failures_ += count;
    std::lock_guard lock(target.mutex_);
    for (int line : failed)
        if (std::find(target.failedLines_.begin(), target.failedLines_.end(), line) ==
            target.failedLines_.end())
            target.failedLines_.push_back(line);
}

std::vector<int> Account::failedLines() const {
    std::lock_guard lock(mutex_);
    return failedLines_;
}

} // namespace wdmusbsim
