#include "sim/verifier/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace sim {

std::string_view ruleName(Rule rule) {
    switch (rule) {
    case Rule::IrpCompletedTwice:
        return "irp-completed-twice";
    case Rule::IrpCompletedWithPending:
        return "irp-completed-with-pending";
    case Rule::PendingReturnedNotMarked:
        return "pending-returned-not-marked";
    case Rule::PendingMarkedNotReturned:
        return "pending-marked-not-returned";
    case Rule::DispatchStatusMismatch:
        return "dispatch-status-mismatch";
    case Rule::IrpUsedAfterFree:
        return "irp-used-after-free";
    case Rule::IrpCompletedAfterMoreProcessing:
        return "irp-completed-after-more-processing";
    case Rule::IoManagerIrpFreedByDriver:
        return "io-manager-irp-freed-by-driver";
    case Rule::IrpFreedAtLowerDriver:
        return "irp-freed-at-lower-driver";
    case Rule::DriverIrpLeaked:
        return "driver-irp-leaked";
    case Rule::IrpNeverCompleted:
        return "irp-never-completed";
    case Rule::DriverIrpCompletedToTop:
        return "driver-irp-completed-to-top";
    case Rule::IrpForwardedWithCancelRoutine:
        return "irp-forwarded-with-cancel-routine";
    case Rule::IrpCompletedWithCancelRoutine:
        return "irp-completed-with-cancel-routine";
    case Rule::WaitNeverEnded:
        return "wait-never-ended";
    case Rule::CancelledRequestHung:
        return "cancelled-request-hung";
    case Rule::NoMoreStackLocations:
        return "no-more-stack-locations";
    case Rule::PnpIrpCompletedNotForwarded:
        return "pnp-irp-completed-not-forwarded";
    case Rule::PnpIrpFailedWhenMustSucceed:
        return "pnp-irp-failed-when-must-succeed";
    case Rule::PnpIrpStatusNotPreset:
        return "pnp-irp-status-not-preset";
    case Rule::PowerIrpWithoutStartNext:
        return "power-irp-without-start-next";
    case Rule::PowerIrpSentWithCallDriver:
        return "power-irp-sent-with-call-driver";
    case Rule::PoolLeak:
        return "pool-leak";
    case Rule::PoolDoubleFree:
        return "pool-double-free";
    case Rule::PoolForeignFree:
        return "pool-foreign-free";
    case Rule::PoolWrongTag:
        return "pool-wrong-tag";
    case Rule::PoolCorruption:
        return "pool-corruption";
    case Rule::UninitialisedMemoryExposed:
        return "uninitialised-memory-exposed";
    case Rule::MdlLeak:
        return "mdl-leak";
    case Rule::MdlMisuse:
        return "mdl-misuse";
    case Rule::UnguardedProbe:
        return "unguarded-probe";
    case Rule::KernelModeProbeOfUserBuffer:
        return "kernel-mode-probe-of-user-buffer";
    case Rule::WaitAtDispatchLevel:
        return "wait-at-dispatch-level";
    case Rule::SpinLockRecursion:
        return "spin-lock-recursion";
    case Rule::SpinLockNotHeld:
        return "spin-lock-not-held";
    case Rule::SpinLockWrongIrql:
        return "spin-lock-wrong-irql";
    case Rule::DispatchReturnedWithLockHeld:
        return "dispatch-returned-with-lock-held";
    case Rule::DispatchChangedIrql:
        return "dispatch-changed-irql";
    case Rule::CompletedHoldingSpinLock:
        return "completed-holding-spin-lock";
    case Rule::IrqlMisuse:
        return "irql-misuse";
    case Rule::IrpCallAboveDispatchLevel:
        return "irp-call-above-dispatch-level";
    case Rule::DeviceControlBuiltAbovePassive:
        return "device-control-built-above-passive";
    case Rule::UserProbeAboveApcLevel:
        return "user-probe-above-apc-level";
    case Rule::DeviceDeletedWithReferences:
        return "device-deleted-with-references";
    case Rule::DeviceDeletedDuringSurpriseRemoval:
        return "device-deleted-during-surprise-removal";
    case Rule::DetachedDuringSurpriseRemoval:
        return "detached-during-surprise-removal";
    case Rule::RequestToDeletedDevice:
        return "request-to-deleted-device";
    case Rule::InterfaceLeftEnabled:
        return "interface-left-enabled";
    case Rule::ObjectMisuse:
        return "object-misuse";
    }
    return "unknown-rule";
}

std::string describe(const SimCallSite& site) {
    const char* file = site.file != nullptr ? site.file : "?";
    if ((site.line & SimCallSite::kImageOffset) != 0) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "+0x%x", site.line & ~SimCallSite::kImageOffset);
        return std::string(file) + "!" + (site.function != nullptr ? site.function : "?") + offset;
    }
    // Paths are printed from the repository's top folder down. A checkout's own folder may bear
    // the name of a top folder (a worktree called power/), so the known source folder goes first;
    // otherwise the earliest top folder wins: tests/sim/x.cpp is under tests/, not sim/.
    constexpr std::string_view kSourceDir = WDMUSB_SOURCE_DIR;
    if (!kSourceDir.empty() && std::string_view(file).starts_with(kSourceDir)) {
        file += kSourceDir.size();
    } else {
        const char* earliest = nullptr;
        for (const char* top : {"/driver/", "/usb/", "/pnp/", "/power/", "/io/", "/sim/", "/tests/",
                                "/tools/", "/platform/"}) {
            const char* hit = std::strstr(file, top);
            if (hit != nullptr && (earliest == nullptr || hit < earliest))
                earliest = hit;
        }
        if (earliest != nullptr)
            file = earliest + 1;
    }
    return std::string(file) + ":" + std::to_string(site.line) + " (" +
           (site.function != nullptr ? site.function : "?") + ")";
}

namespace {
std::atomic<unsigned> gMadeOff{0};
}

unsigned verifiersMadeOff() {
    return gMadeOff.load();
}

Verifier::Verifier(bool on) : on_(on) {
    if (!on)
        ++gMadeOff;
}

void Verifier::report(Rule rule, std::string message) {
    std::lock_guard lock(mutex_);
    if (!quiet_)
        std::fprintf(stderr, "VERIFIER [%s] %s\n", ruleName(rule).data(), message.c_str());
    findings_.push_back(Finding{rule, std::move(message)});
}

void Verifier::report(Rule rule, const std::string& message, const SimCallSite& site) {
    report(rule, message + " at " + describe(site));
}

std::vector<Finding> Verifier::findings() const {
    std::lock_guard lock(mutex_);
    return findings_;
}

std::vector<Finding> Verifier::take(Rule rule) {
    std::lock_guard lock(mutex_);
    std::vector<Finding> taken;
    std::vector<Finding> kept;
    for (auto& f : findings_)
        (f.rule == rule ? taken : kept).push_back(std::move(f));
    findings_ = std::move(kept);
    return taken;
}

std::vector<Finding> Verifier::takeAll() {
    std::lock_guard lock(mutex_);
    return std::exchange(findings_, {});
}

bool Verifier::empty() const {
    std::lock_guard lock(mutex_);
    return findings_.empty();
}

void Verifier::setQuiet(bool quiet) {
    std::lock_guard lock(mutex_);
    quiet_ = quiet;
}

} // namespace sim
