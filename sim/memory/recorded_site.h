// A call site kept beyond the call. Its texts are interned (sim/util/interned_text.h), so a record
// stays readable whatever the caller passed (the driver's literals, or names built at run time),
// and keeping one costs no allocation: records are made for every pool block and MDL.
#pragma once

#include <string>

#include "call_site.h"
#include "sim/util/interned_text.h"
#include "sim/verifier/verifier.h"

namespace sim {

struct RecordedSite {
    const char* file = "?";
    const char* function = "?";
    unsigned line = 0;

    RecordedSite() = default;
    explicit RecordedSite(const SimCallSite& site)
        : file(internText(site.file)), function(internText(site.function)), line(site.line) {}

    // "file:line (function)", as the verifier prints call sites.
    std::string text() const { return describe(SimCallSite{file, function, line}); }
};

} // namespace sim
