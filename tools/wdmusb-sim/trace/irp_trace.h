// The IRP trace (--trace): one line for each thing that happens to an IRP on its way through the
// stack (sent to a device at a stack location, returned from dispatch, completed with its status
// and information, through a completion routine, cancelled, finished, freed), written into the
// account as it happens. The lines of each IRP are also kept, so that when the verifier names an
// IRP in a finding its whole history can be printed beneath it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/io/irp_observer.h"
#include "tools/wdmusb-sim/output/account.h"

namespace wdmusbsim {

class IrpTrace : public sim::IrpObserver {
public:
    static constexpr std::size_t kLinesPerIrp = 64;
    static constexpr std::size_t kIrpsKept = 4096;

    explicit IrpTrace(Account& account) : account_(account) {}

    void onIrpEvent(const sim::IrpEvent& event) override;

    // For each "IRP #N" a finding's message names, the lines traced for that IRP.
    void printHistories(std::string_view message, Account& account) const;
    std::vector<std::string> history(std::uint64_t id) const;

    // The line an event is traced as (without the account's indent). Events after which the
    // device may be gone (a dispatch routine that deleted it) name it as it was when the IRP
    // reached it.
    std::string describe(const sim::IrpEvent& event);

private:
    void keep(std::uint64_t id, const std::string& line);
    // The device at an IRP's location, as labelled when the IRP was sent there.
    std::string deviceAt(const sim::IrpEvent& event);

    Account& account_;
    mutable std::mutex mutex_; // guards lines_ and devices_
    std::map<std::uint64_t, std::deque<std::string>> lines_;
    std::map<std::pair<std::uint64_t, int>, std::string> devices_; // (IRP, location) -> label
};

// The name of a completion routine (SignalEventCompletion), or its address when the program's
// symbols do not tell.
std::string routineName(PIO_COMPLETION_ROUTINE routine);

} // namespace wdmusbsim
