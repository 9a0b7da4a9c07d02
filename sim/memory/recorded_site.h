// A call site kept beyond the call: the strings are copied, so a record stays readable whatever
// the caller passed (the driver's literals, or names a scenario built at run time).
#pragma once

#include <string>

#include "call_site.h"
#include "sim/verifier/verifier.h"

namespace sim {

struct RecordedSite {
    std::string file;
    std::string function;
    unsigned line = 0;

    RecordedSite() = default;
    explicit RecordedSite(const SimCallSite& site)
        : file(site.file != nullptr ? site.file : "?"),
          function(site.function != nullptr ? site.function : "?"), line(site.line) {}

    // "file:line (function)", as the verifier prints call sites.
    std::string text() const { return describe(SimCallSite{file.c_str(), function.c_str(), line}); }
};

} // namespace sim
