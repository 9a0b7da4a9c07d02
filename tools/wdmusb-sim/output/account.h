// The readable account wdmusb-sim prints: numbered steps, their details and checks aligned in
// columns, findings, hints, and the verdict.
//
//     [ 3] Start device a: descriptors read, configuration selected           line 7
//          IRP_MN_START_DEVICE            STATUS_SUCCESS                           ok
//          device                         VID 1209  PID 0001  USB 2.00
//
// An account writes to the console, or (for a step running in the background) keeps its lines
// until the step is waited for, then hands them and its failures to the main account. Thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/nt_types.h"
#include "tools/wdmusb-sim/output/console.h"

namespace wdmusbsim {

class Account {
public:
    static constexpr int kIndent = 5;
    static constexpr int kLabelWidth = 28;

    explicit Account(Console& console) : console_(&console) {}
    // An account that keeps its lines for later (flushInto), laid out for `console`.
    static Account deferred(Console& console);
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;
    Account(Account&& other) noexcept;
    Account& operator=(Account&&) = delete;

    // "[ 3] title ... line 7"; line 0 leaves the reference out.
    void step(std::string_view title, int line = 0);
    // A heading between steps.
    void section(std::string_view text);
    // An indented detail: the label in its column, then the value.
    void detail(std::string_view label, std::string_view value = {});
    // A check: "ok" or "FAILED" at the right; failures count against the verdict and remember
    // their scenario line.
    void check(bool ok, std::string_view label, std::string_view value = {}, int line = 0);
    // A status check: the name of `actual`, and what was expected when it differs.
    void status(std::string_view label, NTSTATUS actual, NTSTATUS expected = 0, int line = 0);
    // A verifier finding, its rule in the label column; counts as a failure.
    void finding(std::string_view rule, std::string_view message);
    // Extra lines under a finding (a trace's history): dim, not counted.
    void context(std::string_view text);
    // Advice for the user, yellow; not counted.
    void hint(std::string_view text);
    // A line of the IRP trace, dim.
    void trace(std::string_view text);
    // A line as it is, not counted (headers, the verdict).
    void plain(std::string_view text);

    // Hands the kept lines, failures and failed lines of a deferred account to this one.
    void flushInto(Account& target);

    int failures() const { return failures_.load(); }
    std::vector<int> failedLines() const;
    int stepsSeen() const { return steps_.load(); }
    int checksSeen() const { return checks_.load(); }
    Console& console() const { return *console_; }

private:
    struct Deferred {};
    Account(Console& console, Deferred) : console_(&console), keep_(true) {}
    void emit(std::string text);
    void countFailure(int line);
    // Label and value in their columns, `mark` right-aligned at the console's width.
    std::string row(std::string_view label, std::string_view value, std::string_view mark,
                    Style markStyle, Style textStyle = Style::Plain) const;

    Console* console_;
    bool keep_ = false;
    std::atomic<int> steps_{0};
    std::atomic<int> checks_{0};
    std::atomic<int> failures_{0};
    mutable std::mutex mutex_; // guards kept_ and failedLines_
    std::vector<std::string> kept_;
    std::vector<int> failedLines_;
};

// Splits text into lines of at most `width` characters, at spaces where it can.
std::vector<std::string> wrapText(std::string_view text, int width);

} // namespace wdmusbsim
