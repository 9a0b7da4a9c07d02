// The built-in scenario run with something made to go wrong: one allocation of a kind, one URB
// (failed with an IRP status, or with a USB status only), or every allocation at random. Each run
// happens in a child process, as wdmusb-sim runs its rounds, so that a wait that never ends (the
// hang limit aborts the process) or a crash is a failure of that run, not of the test binary.
//
// The scenario's own expectations do not all hold under a fault; what a faulted run must show is
// what FaultedOutcome::problems() checks: the run ended by itself, no verifier finding, the pool
// clean and every device removed at the end.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "sim/core/system.h"
#include "sim/faults/fault_injector.h"
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/loopback_device.h"
#include "sim/usb/urb_recorder.h"
#include "sim/verifier/verifier.h"
#include "tests/tools/tool_fixture.h"
#include "tools/wdmusb-sim/builtin_scenario.h"

namespace wdmusbsim::test {

struct Injection {
    enum class What { Nothing, Allocation, UrbIrpStatus, UrbUsbStatus, RandomAllocations };
    What what = What::Nothing;
    sim::AllocKind kind = sim::AllocKind::Pool; // Allocation
    std::uint64_t nth = 0;                      // Allocation, Urb*: which one, from 1
    std::uint32_t seed = 0;                     // RandomAllocations
    unsigned perMille = 0;
    std::size_t point = 0; // its number among the failure points of the sweep, from 1

    std::string describe() const {
        return (point != 0 ? "point " + std::to_string(point) + ": " : std::string()) +
               whatFailed();
    }

private:
    std::string whatFailed() const {
        switch (what) {
        case What::Nothing:
            return "nothing failed";
        case What::Allocation:
            return std::string(sim::allocKindName(kind)) + " call " + std::to_string(nth);
        case What::UrbIrpStatus:
            return "URB " + std::to_string(nth) + " failed with an IRP status";
        case What::UrbUsbStatus:
            return "URB " + std::to_string(nth) + " failed with a USB status only";
        case What::RandomAllocations:
            return std::to_string(perMille) + " per mille, seed " + std::to_string(seed);
        }
        return {};
    }
};

// What the child process reports through its pipe; plain data.
struct FaultedReport {
    std::array<std::uint64_t, sim::kAllocKindCount> callsOfKind{}; // failable calls made
    std::uint64_t urbs = 0;     // URBs the bus received after the fault was armed
    std::uint64_t injected = 0; // allocation failures injected
    std::uint64_t findings = 0;
    std::uint64_t poolBlocks = 0;
    std::uint64_t devicesLeft = 0; // devices the end of the run could not remove
    std::uint64_t fed = 0;         // filler blocks given to waiting reads (feedWaitingReads)
    int failures = 0;              // failed checks of the scenario, findings included
};

struct FaultedOutcome {
    FaultedReport report;
    bool ended = false; // the child exited by itself
    std::string why;    // how it ended when it did not
    std::string account;

    // Everything that must hold whatever was failed; empty when all did.
    std::string problems() const {
        std::string found;
        if (!ended)
            found += "the run did not end by itself (" + why + "); ";
        if (report.findings != 0)
            found += std::to_string(report.findings) + " verifier finding(s); ";
        if (report.poolBlocks != 0)
            found += std::to_string(report.poolBlocks) + " pool block(s) left; ";
        if (report.devicesLeft != 0)
            found += std::to_string(report.devicesLeft) + " device(s) not removed; ";
        return found;
    }
    // The end of the account (where a failure shows), for a test's message.
    std::string tail(std::size_t lines = 40) const {
        std::size_t at = account.size();
        for (std::size_t n = 0; n <= lines && at != std::string::npos && at > 0; ++n)
            at = account.rfind('\n', at - 1);
        return at == std::string::npos ? account : account.substr(at + 1);
    }
};

namespace detail {

// The last step, added to the scenario: where the counts of the run are taken, before the end of
// the run clears every fault.
constexpr std::string_view kLastNote = "note counted";

inline void arm(const Injection& injection, Run& run) {
    sim::FaultInjector& faults = run.system().faults();
    faults.reset();
    using What = Injection::What;
    if (injection.what == What::Allocation)
        faults.failNthOfKind(injection.kind, injection.nth);
    if (injection.what == What::RandomAllocations)
        faults.failRandomly(injection.seed, injection.perMille);
    if (injection.what != What::UrbIrpStatus && injection.what != What::UrbUsbStatus)
        return;
    for (sim::DeviceNode* node : run.system().pnp().nodes())
        if (node->busDevice != nullptr) {
            auto fault = sim::usb::UrbFault::anyUrb().nth(static_cast<unsigned>(injection.nth));
            if (injection.what == What::UrbIrpStatus)
                fault.failWith(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_SUCCESS);
            else
                fault.failWith(STATUS_SUCCESS, USBD_STATUS_STALL_PID);
            node->busDevice->faults().add(fault);
        }
}

// A read of the scenario whose bytes a failed write never sent waits for them for ever, as it
// would on the platform (a read has no cancel routine), and the run would stop at the hang limit
// with its end unchecked. When the run has not moved on for a while and IN transfers wait, the
// device gets filler bytes, as a device with data of its own would send; held transfers are let
// go.
inline void feedWaitingReads(Run& run, const std::atomic<std::size_t>& steps,
                             const std::atomic<bool>& over, std::uint64_t& fed) {
    constexpr auto kStill = std::chrono::milliseconds(300);
    std::size_t seen = steps.load();
    auto since = std::chrono::steady_clock::now();
    while (!over.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (steps.load() != seen) {
            seen = steps.load();
            since = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - since < kStill)
            continue;
        // Held transfers sent after the scenario's release (the pipe reset of a failed write, on a
        // held endpoint) are let go, as the scenario's end would.
        if (run.bus().controller().heldCount() > 0) {
            run.bus().controller().releaseHeld();
            since = std::chrono::steady_clock::now();
            continue;
        }
        const std::size_t waiting =
            run.bus().controller().inFlightCount(sim::usb::LoopbackDevice::kInEndpoint);
        if (waiting == 0)
            continue;
        for (sim::DeviceNode* node : run.system().pnp().nodes())
            if (node->busDevice != nullptr && node->state != sim::DeviceNodeState::Deleted &&
                node->state != sim::DeviceNodeState::SurpriseRemoved) {
                node->busDevice->modelAs<sim::usb::LoopbackDevice>().queueData(
                    std::vector<std::uint8_t>(waiting * 4096, 0xF1));
                ++fed;
            }
        since = std::chrono::steady_clock::now();
    }
}

inline FaultedReport runInChild(const Injection& injection, const Scenario& scenario,
                                std::FILE* output) {
    FaultedReport report;
    Run* current = nullptr;
    bool armed = false;
    std::size_t urbsBefore = 0;
    const bool onDevice = injection.what == Injection::What::UrbIrpStatus ||
                          injection.what == Injection::What::UrbUsbStatus;
    RunSettings settings{.seed = injection.seed, .hangLimit = std::chrono::seconds(5)};
    // Armed at the first step (the driver is loaded: DriverEntry allocates nothing), or for a
    // URB fault at the first step after the device is plugged (no URB has gone out yet).
    std::atomic<std::size_t> steps{0};
    settings.onStep = [&](const Step& step) {
        ++steps;
        Run& run = *current;
        if (!armed && (!onDevice || !run.system().pnp().nodes().empty())) {
            arm(injection, run);
            urbsBefore = run.urbs().records().size();
            armed = true;
        }
        if (&step != &scenario.steps.back())
            return;
        sim::FaultInjector& faults = run.system().faults();
        for (int k = 0; k < sim::kAllocKindCount; ++k)
            report.callsOfKind[k] = faults.allocationsSeen(static_cast<sim::AllocKind>(k));
        report.injected = faults.failuresInjected();
        report.urbs = run.urbs().records().size() - urbsBefore;
    };
    Console console(output, false, Console::kMaximumWidth);
    Account account(console);
    {
        Run run(account, settings);
        current = &run;
        std::atomic<bool> over{false};
        std::thread feeder([&] { feedWaitingReads(run, steps, over, report.fed); });
        report.failures = run.execute(scenario);
        over = true;
        feeder.join();
        report.findings = run.system().verifier().findings().size();
        report.poolBlocks = run.system().pool().liveCount();
        for (const sim::DeviceNode* node : run.system().pnp().nodes())
            if (node->state != sim::DeviceNodeState::Removed &&
                node->state != sim::DeviceNodeState::Deleted &&
                node->state != sim::DeviceNodeState::AddFailed)
                ++report.devicesLeft;
    }
    console.flush();
    return report;
}

} // namespace detail

// The built-in scenario with the counting step at its end, and its waits for a state shortened:
// under a fault the state may never come, and a clean run reaches it at once.
inline const Scenario& builtinForFaults() {
    static const Scenario scenario = [] {
        std::istringstream in{std::string(builtinScenarioText())};
        std::string text;
        for (std::string line; std::getline(in, line);) {
            const bool waits =
                line.starts_with("expect in-flight") || line.starts_with("expect power");
            text += line + (waits ? " within=300ms\n" : "\n");
        }
        ParseResult parsed =
            parseScenario("built-in", text + std::string(detail::kLastNote) + "\n");
        EXPECT_TRUE(parsed.ok());
        return std::move(parsed.scenario);
    }();
    return scenario;
}

inline FaultedOutcome runFaulted(const Injection& injection) {
    const Scenario& scenario = builtinForFaults();
    FaultedOutcome outcome;
    std::FILE* output = std::tmpfile();
    int channel[2];
    if (output == nullptr || pipe(channel) != 0) {
        outcome.why = "no pipe or temporary file";
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        std::setvbuf(output, nullptr, _IOLBF, 0); // an abort leaves the account up to the hang
        alarm(60); // a wait outside the simulated dispatcher is a hang too
        const FaultedReport report = detail::runInChild(injection, scenario, output);
        (void)!write(channel[1], &report, sizeof report);
        _exit(0);
    }
    close(channel[1]);
    const bool reported = pid > 0 && read(channel[0], &outcome.report, sizeof outcome.report) ==
                                         static_cast<ssize_t>(sizeof outcome.report);
    close(channel[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ended = reported && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!outcome.ended)
        outcome.why = WIFSIGNALED(status) ? std::string("signal ") + strsignal(WTERMSIG(status))
                                          : "no report";
    outcome.account = readAll(output);
    std::fclose(output);
    return outcome;
}

// A count knob of the environment, or `fallback`.
inline std::uint64_t knob(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strtoull(value, nullptr, 0) > 0
               ? std::strtoull(value, nullptr, 0)
               : fallback;
}

} // namespace wdmusbsim::test
