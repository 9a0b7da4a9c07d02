// The readable account wdmusb-sim prints: one line per step, indented details, and the verdict.
#pragma once

#include <cstdio>
#include <string>

#include "platform/host/nt_types.h"

namespace wdmusbsim {

class Account {
public:
    explicit Account(std::FILE* out) : out_(out) {}

    // "[3] Start the device" — numbered in order.
    void step(const std::string& title);
    // "    detail"
    void detail(const std::string& text);
    // A detail that is a check: "    ok: ..." or "    FAILED: ..."; failures count against the
    // verdict.
    void check(bool ok, const std::string& text);
    // "    IRP_MN_START_DEVICE -> STATUS_SUCCESS", checked against the expected status.
    void status(const std::string& what, NTSTATUS status, NTSTATUS expected = 0);

    int failures() const { return failures_; }

private:
    std::FILE* out_;
    int steps_ = 0;
    int failures_ = 0;
};

} // namespace wdmusbsim
