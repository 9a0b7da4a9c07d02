// The verifier: every misuse of the platform becomes a finding that names the rule, the object
// (IRP, allocation, lock, device) and where it came from. Findings are printed as they happen and
// kept for the test that runs the system, which fails when any is left unexpected.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "call_site.h"
#include "sim/verifier/rule.h"

namespace sim {

struct Finding {
    Rule rule;
    std::string message; // one line: the object, what happened, and where
};

std::string describe(const SimCallSite& site); // "file:line (function)"

// How many Verifiers this process has made with their books off: none in any test binary.
unsigned verifiersMadeOff();

class Verifier {
public:
    // On (the default), the verifier keeps its books and checks the rules. Off, the simulator
    // keeps only what the platform's behaviour needs: no poison fills, quarantines, guard zones,
    // allocation sites, IRP histories or rule checks. Off exists to measure the verifier's price
    // (the benchmarks run both ways); every test runs with it on.
    explicit Verifier(bool on = true);
    bool on() const { return on_; }

    // Records a finding; also printed to stderr unless quiet() was asked for.
    void report(Rule rule, std::string message);
    void report(Rule rule, const std::string& message, const SimCallSite& site);

    std::vector<Finding> findings() const;
    // Removes and returns the findings of the given rule (a test that broke it on purpose).
    std::vector<Finding> take(Rule rule);
    std::vector<Finding> takeAll();
    bool empty() const;
    void setQuiet(bool quiet);

private:
    const bool on_;
    mutable std::mutex mutex_;
    std::vector<Finding> findings_;
    bool quiet_ = false;
};

} // namespace sim
