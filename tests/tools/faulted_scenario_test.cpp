// The whole built-in scenario (plug, start, rebalance, reads and writes, control codes, port
// recovery, sleep and wake, a stop called off, surprise removal under a read) with things going
// wrong: each failure point of a clean run failed once in turn, then every allocation failing at
// random. Whatever fails, each run must end by itself with no verifier finding, the pool clean and
// every device removed (see faulted_run.h).
//
// Knobs: WDMUSB_SWEEP_STRIDE=K runs every K-th failure point (1: all of them; CI's default is
// kSweepStride, 16 on the kernel image); WDMUSB_SWEEP_POINT=N runs point N alone;
// WDMUSB_STRESS_ROUNDS=N seeds per failure rate; WDMUSB_FAULT_SEED=S is the first seed and
// WDMUSB_FAULT_PER_MILLE=P runs only that rate: a printed round replays with WDMUSB_FAULT_SEED=S
// WDMUSB_FAULT_PER_MILLE=P WDMUSB_STRESS_ROUNDS=1 and --gtest_filter='FaultedScenario.Random*' on
// build/host/tests/wdmusb_tool_tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "sim/image/driver_image.h"
#include "tests/tools/faulted_run.h"

namespace wdmusbsim::test {
namespace {

// CI's share: the whole sweep takes about two minutes on two busy cores, a sanitizer build several
// times that.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kSweepStride = 16;
constexpr std::uint64_t kSeedsPerRate = 2;
#else
constexpr std::uint64_t kSweepStride = 4;
constexpr std::uint64_t kSeedsPerRate = 4;
#endif
// On the kernel image the 32-bit build runs under qemu-i386 where the machine does not run i386
// programs: the sanitizers' share.
std::uint64_t sweepStride() {
    return sim::image::drivingImage() ? 16 : kSweepStride;
}
std::uint64_t seedsPerRate() {
    return sim::image::drivingImage() ? 2 : kSeedsPerRate;
}
// The accounts of the first failing runs are shown (WDMUSB_SWEEP_POINT=N runs point N alone).
const int kAccountsShown = static_cast<int>(knob("WDMUSB_SWEEP_SHOWN", 3));

using What = Injection::What;

// Every failure point of a clean run: each failable call of each kind, each URB twice.
std::vector<Injection> failurePoints(const FaultedReport& clean) {
    std::vector<Injection> points;
    for (int k = 0; k < sim::kAllocKindCount; ++k)
        for (std::uint64_t n = 1; n <= clean.callsOfKind[k]; ++n)
            points.push_back({.what = What::Allocation,
                              .kind = static_cast<sim::AllocKind>(k),
                              .nth = n,
                              .point = points.size() + 1});
    for (const What urb : {What::UrbIrpStatus, What::UrbUsbStatus})
        for (std::uint64_t n = 1; n <= clean.urbs; ++n)
            points.push_back({.what = urb, .nth = n, .point = points.size() + 1});
    return points;
}

// Whether the fault armed for a run was reached (a failure point a fault before it moved away
// from proves nothing about that point, but the run must still end well).
bool reached(const Injection& point, const FaultedReport& report) {
    if (point.what == What::RandomAllocations)
        return report.injected > 0;
    return point.what == What::Allocation ? report.injected == 1 : report.urbs >= point.nth;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `points`, failing the test for each run whose outcome breaks what must hold; returns how
// many reached their fault.
std::size_t runAll(const std::vector<Injection>& points) {
    std::size_t reachedCount = 0;
    int shown = 0;
    for (const Injection& point : points) {
        const FaultedOutcome outcome = runFaulted(point);
        reachedCount += reached(point, outcome.report) ? 1 : 0;
        const std::string problems = outcome.problems();
        if (!problems.empty())
            ADD_FAILURE() << point.describe() << ": " << problems
                          << (shown++ < kAccountsShown ? "\n" + outcome.tail() : std::string());
    }
    return reachedCount;
}

TEST(FaultedScenario, EachFailurePointFailedOnceEndsCleanly) {
    const auto start = std::chrono::steady_clock::now();
    const FaultedOutcome clean = runFaulted({});
    ASSERT_TRUE(clean.problems().empty() && clean.report.failures == 0)
        << clean.problems() << clean.tail();
    const std::vector<Injection> all = failurePoints(clean.report);
    const std::uint64_t stride = knob("WDMUSB_SWEEP_STRIDE", sweepStride());
    const std::uint64_t only = knob("WDMUSB_SWEEP_POINT", 0);
    std::vector<Injection> slice;
    for (std::size_t i = 0; i < all.size(); i += stride)
        if (only == 0 || only == i + 1)
            slice.push_back(all[i]);
    const std::size_t reachedCount = runAll(slice);

    std::string perKind;
    for (int k = 0; k < sim::kAllocKindCount; ++k)
        if (clean.report.callsOfKind[k] != 0)
            perKind += " " + std::string(sim::allocKindName(static_cast<sim::AllocKind>(k))) + " " +
                       std::to_string(clean.report.callsOfKind[k]);
    std::printf("failure points of the built-in scenario: %zu (%s; URBs %llu, each with an IRP "
                "status and a USB status)\nrun: %zu (every %llu-th), %zu reached their fault, "
                "in %.1f s\n",
                all.size(), perKind.substr(1).c_str(),
                static_cast<unsigned long long>(clean.report.urbs), slice.size(),
                static_cast<unsigned long long>(stride), reachedCount, secondsSince(start));
    EXPECT_GE(clean.report.urbs, 40u) << "the scenario's I/O went to the bus";
    EXPECT_GE(reachedCount * 2, slice.size()) << "most faults must be reached";
}

// The failure rates of the random runs: the platform's own low-resources rate, then harder.
constexpr unsigned kRates[] = {60, 250, 600};

TEST(FaultedScenario, RandomLowResourcesAtEachRate) {
    const auto first = static_cast<std::uint32_t>(knob("WDMUSB_FAULT_SEED", 1));
    const std::uint64_t seeds = knob("WDMUSB_STRESS_ROUNDS", seedsPerRate());
    const std::uint64_t onlyRate = knob("WDMUSB_FAULT_PER_MILLE", 0);
    for (const unsigned rate : kRates) {
        if (onlyRate != 0 && rate != onlyRate)
            continue;
        const auto start = std::chrono::steady_clock::now();
        std::vector<Injection> rounds;
        for (std::uint64_t s = 0; s < seeds; ++s)
            rounds.push_back({.what = What::RandomAllocations,
                              .seed = first + static_cast<std::uint32_t>(s),
                              .perMille = rate});
        EXPECT_GT(runAll(rounds), 0u) << "no allocation failed at " << rate << " per mille";
        std::printf("%u per mille: seeds %u to %llu in %.1f s (replay one: WDMUSB_FAULT_SEED=S "
                    "WDMUSB_FAULT_PER_MILLE=%u WDMUSB_STRESS_ROUNDS=1)\n",
                    rate, first, static_cast<unsigned long long>(first + seeds - 1),
                    secondsSince(start), rate);
    }
}

} // namespace
} // namespace wdmusbsim::test
