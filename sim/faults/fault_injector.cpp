#include "sim/faults/fault_injector.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "sim/util/interned_text.h"

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

std::size_t FaultInjector::SiteHash::operator()(const Site& site) const {
    const std::hash<const void*> pointer;
    return pointer(site.file) ^ (pointer(site.function) << 1) ^
           (static_cast<std::size_t>(site.line) << 8) ^ static_cast<std::size_t>(site.kind);
}

FaultInjector::Site FaultInjector::intern(AllocKind kind, const char* file, const char* function,
                                          unsigned line) {
    return Site{kind, internText(file), internText(function), line};
}

bool FaultInjector::shouldFail(AllocKind kind, const SimCallSite& site) {
    const Site here = intern(kind, site.file, site.function, site.line);
    std::lock_guard lock(mutex_);
    ++seen_;
    auto& ofKind = kinds_[static_cast<int>(kind)];
    ++ofKind.seenOfKind;
    if (known_.insert(here).second)
        sites_.push_back(here);

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
    if (siteOnce_ && *siteOnce_ == here) {
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
    const Site once = intern(site.kind, site.file.c_str(), site.function.c_str(), site.line);
    std::lock_guard lock(mutex_);
    siteOnce_ = once;
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
    known_.clear();
    sites_.clear();
}

std::vector<AllocationSite> FaultInjector::sitesSeen() const {
    std::lock_guard lock(mutex_);
    std::vector<AllocationSite> sites;
    sites.reserve(sites_.size());
    for (const Site& site : sites_)
        sites.push_back(AllocationSite{site.kind, site.file, site.line, site.function});
    return sites;
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
