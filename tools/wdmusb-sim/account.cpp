#include "tools/wdmusb-sim/account.h"

#include "sim/util/status_names.h"

namespace wdmusbsim {

void Account::step(const std::string& title) {
    std::fprintf(out_, "[%d] %s\n", ++steps_, title.c_str());
}

void Account::detail(const std::string& text) {
    std::fprintf(out_, "    %s\n", text.c_str());
}

void Account::check(bool ok, const std::string& text) {
    if (!ok)
        ++failures_;
    std::fprintf(out_, "    %s: %s\n", ok ? "ok" : "FAILED", text.c_str());
}

void Account::status(const std::string& what, NTSTATUS status, NTSTATUS expected) {
    check(status == expected,
          what + " -> " + sim::statusName(status) +
              (status == expected ? "" : " (expected " + sim::statusName(expected) + ")"));
}

} // namespace wdmusbsim
