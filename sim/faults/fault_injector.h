// Fault injection: any allocating routine of the simulated platform can be made to fail, by count,
// by kind, by call site, or at random from a seed that is printed so the run can be replayed.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "call_site.h"

namespace sim {

enum class AllocKind {
    Pool,                  // ExAllocatePoolWithTag
    Irp,                   // IoAllocateIrp
    Mdl,                   // IoAllocateMdl
    DeviceControlIrp,      // IoBuildDeviceIoControlRequest
    ConfigurationRequest,  // USBD_CreateConfigurationRequest
    PowerRequest,          // PoRequestPowerIrp
    DeviceObject,          // IoCreateDevice
    InterfaceRegistration, // IoRegisterDeviceInterface
    SystemMapping,         // MmGetSystemAddressForMdlSafe mapping a locked MDL
    InterfaceEnabling      // IoSetDeviceInterfaceState enabling (disabling never fails)
};
constexpr int kAllocKindCount = 10;
std::string_view allocKindName(AllocKind kind);

// One place in the driver that allocates, as seen by the injector.
struct AllocationSite {
    AllocKind kind;
    std::string file;
    unsigned line;
    std::string function;
    bool operator==(const AllocationSite&) const = default;

    static AllocationSite from(AllocKind kind, const SimCallSite& site);
};

class FaultInjector {
public:
    // Called by every allocating routine before it allocates; true means: fail this one.
    bool shouldFail(AllocKind kind, const SimCallSite& site);

    // The n-th allocation from now on (1 = the next one), of any kind or of one kind, fails once.
    void failNth(std::uint64_t n);
    void failNthOfKind(AllocKind kind, std::uint64_t n);
    // Every allocation of a kind fails until cleared.
    void failAllOfKind(AllocKind kind, bool fail = true);
    // Each allocation fails with the given probability (per mille), drawn from a seeded generator.
    // The seed is printed to stderr so that the run can be replayed; perMille 0 turns it off.
    void failRandomly(std::uint32_t seed, unsigned perMille);
    // A seed for a run that was given none.
    static std::uint32_t freshSeed();
    // The next allocation from this call site fails, once (systematic low-resources runs).
    void failSiteOnce(const AllocationSite& site);
    void reset();

    // Every distinct site seen since the last reset, in order of first appearance.
    std::vector<AllocationSite> sitesSeen() const;
    std::uint64_t allocationsSeen() const;
    std::uint64_t allocationsSeen(AllocKind kind) const;
    std::uint64_t failuresInjected() const;

private:
    // A site as the injector keeps it: its texts interned, so that it compares and hashes by
    // pointer (every allocation looks its site up).
    struct Site {
        AllocKind kind;
        const char* file;
        const char* function;
        unsigned line;
        bool operator==(const Site&) const = default;
    };
    struct SiteHash {
        std::size_t operator()(const Site& site) const;
    };
    static Site intern(AllocKind kind, const char* file, const char* function, unsigned line);

    mutable std::mutex mutex_;
    std::uint64_t seen_ = 0;
    std::uint64_t injected_ = 0;
    std::optional<std::uint64_t> failAt_; // value of seen_ at which to fail
    struct KindCountdown {
        std::uint64_t remaining = 0; // 0: none armed
        bool always = false;
        std::uint64_t seenOfKind = 0;
    };
    KindCountdown kinds_[kAllocKindCount];
    std::optional<std::mt19937> random_;
    unsigned perMille_ = 0;
    std::optional<Site> siteOnce_;
    std::unordered_set<Site, SiteHash> known_;
    std::vector<Site> sites_; // in order of first appearance
};

} // namespace sim
