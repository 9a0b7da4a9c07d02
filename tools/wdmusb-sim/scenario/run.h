// One run of a scenario in a fresh simulated system: the driver loaded, the steps run in order
// (those given as=NAME on application threads of their own), then the end of the run: the
// devices still present removed, the driver unloaded, the pool and the verifier checked.
//
// Usage:
//     Account account(console);
//     Run run(account, {.seed = 7});
//     int failures = run.execute(scenario);   // failed checks and verifier findings
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/host/host_platform.h"
#include "sim/verifier/rule.h"
#include "tools/wdmusb-sim/output/account.h"
#include "tools/wdmusb-sim/scenario/scenario.h"

namespace sim {
class System;
struct DeviceNode;
class WaitWakeRequest;
namespace usb {
class BusDevice;
class BusDriver;
class DeviceModel;
class UrbRecorder;
} // namespace usb
} // namespace sim

namespace wdmusbsim {

class PcapCapture;
class IrpTrace;
class StepWatch;

struct RunSettings {
    std::uint32_t seed = 0;  // for everything random in the run
    bool trace = false;      // every IRP through the stack, and histories on findings
    std::string captureFile; // every URB as a USB capture; empty: none
    // A wait in the simulated system that lasts this long stops the run (the process ends).
    std::chrono::milliseconds hangLimit{20000};
    // Called before each step runs (the round runner tells its parent where it is).
    std::function<void(const Step&)> onStep;
};

// A device of the scenario, known by its name.
struct ScenarioDevice {
    std::string name;
    std::function<std::shared_ptr<sim::usb::DeviceModel>()> makeModel; // for plugging again
    std::string description; // "loopback device 1209:0001"
    // The turn of the step sending it a request: the Plug and Play manager sends a device one
    // request at a time, and a step on a device another step holds waits for its turn. False
    // when the turn did not come within `limit`.
    bool takeTurn(std::chrono::milliseconds limit);
    void giveTurn();

    // Its node in the Plug and Play manager; null before it is plugged in. Set by `plug` with
    // the turn held; steps in the background read it.
    sim::DeviceNode* node() const { return node_.load(); }
    void setNode(sim::DeviceNode* node) { node_.store(node); }
    // Its device on the bus (thread-safe itself), or null.
    sim::usb::BusDevice* busDevice() const;
    // The wait-wake request `arm-wake` sent for it, until `signal-wake` sees it back.
    std::shared_ptr<sim::WaitWakeRequest> wake;

private:
    std::atomic<sim::DeviceNode*> node_{nullptr};
    std::mutex turnMutex_; // guards busy_
    std::condition_variable turnFree_;
    bool busy_ = false;
};

class Run {
public:
    Run(Account& account, RunSettings settings);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Runs the steps and ends the run; returns the failed checks and verifier findings.
    int execute(const Scenario& scenario);

    // --- for the steps ----------------------------------------------------------------------
    sim::System& system() { return *system_; }
    sim::usb::BusDriver& bus() { return *bus_; }
    PDRIVER_OBJECT driver() const { return driver_; }
    std::uint32_t seed() const { return settings_.seed; }
    std::chrono::milliseconds hangLimit() const { return settings_.hangLimit; }
    const sim::usb::UrbRecorder& urbs() const { return *recorder_; }
    ScenarioDevice* findDevice(std::string_view name);
    ScenarioDevice& addDevice(std::string name);
    // The function driver's device object above a device's PDO, or null.
    PDEVICE_OBJECT fdoOf(const ScenarioDevice& device);
    // Endpoints whose completion mode a step set, put back to the default at the end.
    void noteModeSet(std::optional<UCHAR> endpoint);
    // Prints the verifier findings not printed yet (with their IRP's history under --trace).
    void reportNewFindings(Account& account);
    // Takes the findings of a rule that a step expected; returns how many.
    std::size_t takeFindings(sim::Rule rule, Account& account);
    // Application handles the steps opened, by name (null: none open under it); those still
    // open at the end are closed first, as at the application's exit.
    void setHandle(const std::string& name, void* handle);
    void* handle(std::string_view name);
    void* takeHandle(std::string_view name);
    // Background steps: started by as=NAME, waited for by `wait NAME`.
    void startBackground(const Step& step);
    bool waitBackground(const std::string& name, Account& account);

private:
    struct Background {
        const Step* step = nullptr;
        std::unique_ptr<Account> account;
        std::thread thread;
        bool waited = false;
    };

    void runStep(const Step& step);
    void loadDriver();
    void finish();
    void takeDown(ScenarioDevice& device);

    Account& account_;
    RunSettings settings_;
    std::unique_ptr<sim::System> system_;
    std::unique_ptr<sim::usb::UrbRecorder> recorder_;
    std::unique_ptr<PcapCapture> capture_;
    std::unique_ptr<IrpTrace> trace_;
    std::unique_ptr<sim::usb::BusDriver> bus_; // after the System and the observers it calls
    std::unique_ptr<StepWatch> watch_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::mutex devicesMutex_; // guards devices_ (its elements stay where they are)
    std::map<std::string, ScenarioDevice, std::less<>> devices_;
    std::map<std::string, Background, std::less<>> background_;
    std::mutex handlesMutex_; // guards handles_: steps on application threads open and close
    std::map<std::string, void*, std::less<>> handles_;
    std::set<int> modeEndpoints_; // -1: the default of every endpoint
    std::size_t findingsPrinted_ = 0;
};

// What a step's routine works with.
class StepContext {
public:
    StepContext(Run& theRun, Account& theAccount, const Step& theStep)
        : run(theRun), account(theAccount), step(theStep) {}

    Run& run;
    Account& account;
    const Step& step;

    int line() const { return step.line(); }
    // The step's device= (filled in by the parser when absent).
    ScenarioDevice& device();
    // The status the step expects (expect=, default STATUS_SUCCESS), checked.
    void status(std::string_view label, NTSTATUS actual);
    void check(bool ok, std::string_view label, std::string_view value = {}) {
        account.check(ok, label, value, line());
    }
};

// "Start {device}" with the step's arguments put in.
std::string stepTitle(const Step& step);

// The system sleeping state a step's state= (sleepStateParam) names; nothing when absent.
std::optional<SYSTEM_POWER_STATE> sleepStateOf(const Step& step);

} // namespace wdmusbsim
