#include "sim/faults/fault_injector.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string_view allocKindName(AllocKind kind) {
    switch (kind) {
    case AllocKind::Pool:
        return "pool";
    case AllocKind::Irp:
        return "irp";
    case AllocKind::Mdl:
        return "mdl";
    case AllocKind::DeviceControlIrp:
        return "device-control-irp";
    case AllocKind::ConfigurationRequest:
        return "configuration-request";
    case AllocKind::PowerRequest:
        return "power-request";
    case AllocKind::DeviceObject:
        return "device-object";
    case AllocKind::InterfaceRegistration:
        return "interface-registration";
    case AllocKind::SystemMapping:
        return "system-mapping";
    case AllocKind::InterfaceEnabling:
        return "interface-enabling";
    }
    return "unknown";
}

AllocationSite AllocationSite::from(AllocKind kind, const SimCallSite& site) {
    return AllocationSite{kind, site.file != nullptr ? site.file : "?", site.line,
                          site.function != nullptr ? site.function : "?"};
}

static bool sameSite(const AllocationSite& a, AllocKind kind, const SimCallSite& b) {
    // Cheapest fields first: this runs on every allocation.
    return a.line == b.line && a.kind == kind && b.file != nullptr && b.function != nullptr &&
           a.file == b.file && a.function == b.function;
}

bool FaultInjector::shouldFail(AllocKind kind, const SimCallSite& site) {
    std::lock_guard lock(mutex_);
    ++seen_;
    auto& ofKind = kinds_[static_cast<int>(kind)];
    ++ofKind.seenOfKind;
    if (std::none_of(sites_.begin(), sites_.end(),
                     [&](const AllocationSite& s) { return sameSite(s, kind, site); }))
        sites_.push_back(AllocationSite::from(kind, site));

    // Every armed trigger advances on every allocation, so one trigger firing does not shift the
    // others: a replayed run fails exactly the same calls.
    bool fail = false;
    if (failAt_ && *failAt_ == seen_) {
        failAt_.reset();
        fail = true;
    }
    if (ofKind.remaining != 0 && --ofKind.remaining == 0)
        fail = true;
    if (ofKind.always)
        fail = true;
    if (random_ && std::uniform_int_distribution<unsigned>(0, 999)(*random_) < perMille_)
        fail = true;
    if (siteOnce_ && sameSite(*siteOnce_, kind, site)) {
        siteOnce_.reset();
        fail = true;
    }
    if (fail)
        ++injected_;
    return fail;
}

void FaultInjector::failNth(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    if (n == 0)
        failAt_.reset();
    else
        failAt_ = seen_ + n;
}

void FaultInjector::failNthOfKind(AllocKind kind, std::uint64_t n) {
    std::lock_guard lock(mutex_);
    kinds_[static_cast<int>(kind)].remaining = n;
}

void FaultInjector::failAllOfKind(AllocKind kind, bool fail) {
    std::lock_guard lock(mutex_);
    kinds_[static_cast<int>(kind)].always = fail;
}

void FaultInjector::failRandomly(std::uint32_t seed, unsigned perMille) {
    std::lock_guard lock(mutex_);
    if (perMille == 0) {
        random_.reset();
        perMille_ = 0;
        return;
    }
    std::fprintf(stderr, "fault injection seed: %u (%u per mille)\n", seed, perMille);
    random_.emplace(seed);
    perMille_ = std::min(perMille, 1000u);
}

std::uint32_t FaultInjector::freshSeed() {
    return std::random_device{}();
}

void FaultInjector::failSiteOnce(const AllocationSite& site) {
    std::lock_guard lock(mutex_);
    siteOnce_ = site;
}

void FaultInjector::reset() {
    std::lock_guard lock(mutex_);
    seen_ = 0;
    injected_ = 0;
    failAt_.reset();
    for (auto& k : kinds_)
        k = KindCountdown{};
    random_.reset();
    perMille_ = 0;
    siteOnce_.reset();
    sites_.clear();
}

std::vector<AllocationSite> FaultInjector::sitesSeen() const {
    std::lock_guard lock(mutex_);
    return sites_;
}

std::uint64_t FaultInjector::allocationsSeen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

std::uint64_t FaultInjector::allocationsSeen(AllocKind kind) const {
    std::lock_guard lock(mutex_);
    return kinds_[static_cast<int>(kind)].seenOfKind;
}

std::uint64_t FaultInjector::failuresInjected() const {
    std::lock_guard lock(mutex_);
    return injected_;
}

} // namespace sim
