#include "tools/wdmusb-sim/scenario/run.h"

#include "driver/dispatch.h"
#include "sim/core/system.h"
#include "sim/image/driver_image.h"
#include "sim/io/io_manager.h"
#include "sim/memory/pool.h"
#include "sim/app/win32.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/urb_recorder.h"
#include "tools/wdmusb-sim/capture/pcap_capture.h"
#include "tools/wdmusb-sim/scenario/step_watch.h"
#include "tools/wdmusb-sim/trace/irp_trace.h"

namespace wdmusbsim {

std::string stepTitle(const Step& step) {
    std::string title(step.command->title);
    for (std::size_t open = title.find('{'); open != std::string::npos; open = title.find('{')) {
        const std::size_t close = title.find('}', open);
        if (close == std::string::npos)
            break;
        const Value* value = step.find(title.substr(open + 1, close - open - 1));
        title.replace(open, close - open + 1, value != nullptr ? value->text : "");
    }
    return title;
}

ScenarioDevice& StepContext::device() {
    ScenarioDevice* found = run.findDevice(step.word("device"));
    if (found == nullptr) // the parser saw it defined; the plug that defines it creates it
        return run.addDevice(step.word("device"));
    return *found;
}

void StepContext::status(std::string_view label, NTSTATUS actual) {
    const auto expected = static_cast<NTSTATUS>(step.number("expect", STATUS_SUCCESS));
    account.status(label, actual, expected, line());
}

Run::Run(Account& account, RunSettings settings)
    : account_(account), settings_(std::move(settings)), system_(std::make_unique<sim::System>()),
      recorder_(std::make_unique<sim::usb::UrbRecorder>()) {
    system_->verifier().setQuiet(true); // findings go into the account
    system_->dispatcher().setHangLimit(settings_.hangLimit);
    if (!settings_.captureFile.empty())
        capture_ = std::make_unique<PcapCapture>(settings_.captureFile);
    if (settings_.trace) {
        trace_ = std::make_unique<IrpTrace>(account_);
        system_->io().setObserver(trace_.get());
    }
    bus_ = std::make_unique<sim::usb::BusDriver>();
    bus_->addObserver(recorder_.get());
    if (capture_ && capture_->ok())
        bus_->addObserver(capture_.get());
    watch_ = std::make_unique<StepWatch>(account_, bus_->controller(), settings_.hangLimit);
}

Run::~Run() {
    for (auto& [name, background] : background_)
        if (background.thread.joinable())
            background.thread.join();
    watch_.reset();
    bus_.reset(); // stops the host controller: no observer is called after this
    system_->io().setObserver(nullptr);
    system_.reset();
}

sim::usb::BusDevice* ScenarioDevice::busDevice() const {
    const sim::DeviceNode* current = node();
    return current != nullptr ? current->busDevice : nullptr;
}

bool ScenarioDevice::takeTurn(std::chrono::milliseconds limit) {
    std::unique_lock lock(turnMutex_);
    if (!turnFree_.wait_for(lock, limit, [this] { return !busy_; }))
        return false;
    busy_ = true;
    return true;
}

void ScenarioDevice::giveTurn() {
    {
        std::lock_guard lock(turnMutex_);
        busy_ = false;
    }
    turnFree_.notify_all();
}

ScenarioDevice* Run::findDevice(std::string_view name) {
    std::lock_guard lock(devicesMutex_);
    auto it = devices_.find(name);
    return it == devices_.end() ? nullptr : &it->second;
}

ScenarioDevice& Run::addDevice(std::string name) {
    std::lock_guard lock(devicesMutex_);
    auto& device = devices_[name];
    device.name = std::move(name);
    return device;
}

PDEVICE_OBJECT Run::fdoOf(const ScenarioDevice& device) {
    const sim::DeviceNode* node = device.node();
    if (node == nullptr || node->state == sim::DeviceNodeState::Deleted)
        return nullptr;
    PDEVICE_OBJECT top = system_->io().topOfStack(node->pdo);
    return top == node->pdo ? nullptr : top;
}

void Run::noteModeSet(std::optional<UCHAR> endpoint) {
    modeEndpoints_.insert(endpoint ? *endpoint : -1);
}

int Run::execute(const Scenario& scenario) {
    loadDriver();
    for (const Step& step : scenario.steps)
        runStep(step);
    finish();
    return account_.failures();
}

void Run::loadDriver() {
    account_.step("Load the driver (DriverEntry)");
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    driver_ = system_->io().loadDriver("wdmusb", sim::image::driverEntry(DriverEntry), &entry);
    account_.status("DriverEntry", entry);
}

void Run::runStep(const Step& step) {
    if (settings_.onStep)
        settings_.onStep(step);
    if (!step.background.empty()) {
        account_.step(stepTitle(step) + " (in the background as " + step.background + ")",
                      step.line());
        startBackground(step);
        return;
    }
    if (!step.command->title.empty())
        account_.step(stepTitle(step), step.line());
    watch_->begin(step.line());
    StepContext context(*this, account_, step);
    step.command->run(context);
    watch_->end();
    reportNewFindings(account_);
}

void Run::startBackground(const Step& step) {
    Background& background = background_[step.background];
    background.step = &step;
    background.account = std::make_unique<Account>(Account::deferred(account_.console()));
    background.thread = std::thread([this, &step, account = background.account.get()] {
        StepContext context(*this, *account, step);
        step.command->run(context);
    });
}

bool Run::waitBackground(const std::string& name, Account& account) {
    auto it = background_.find(name);
    if (it == background_.end() || it->second.waited)
        return false;
    Background& background = it->second;
    background.thread.join();
    background.waited = true;
    background.account->flushInto(account);
    return true;
}

void Run::reportNewFindings(Account& account) {
    const auto findings = system_->verifier().findings();
    for (std::size_t i = findingsPrinted_; i < findings.size(); ++i) {
        account.finding(sim::ruleName(findings[i].rule), findings[i].message);
        if (trace_)
            trace_->printHistories(findings[i].message, account);
    }
    findingsPrinted_ = findings.size();
}

std::size_t Run::takeFindings(sim::Rule rule, Account& account) {
    reportNewFindings(account); // every finding taken has been shown
    const std::size_t taken = system_->verifier().take(rule).size();
    findingsPrinted_ -= std::min(findingsPrinted_, taken);
    return taken;
}

void Run::takeDown(ScenarioDevice& device) {
    sim::PnpManager& pnp = system_->pnp();
    if (fdoOf(device) == nullptr)
        return;
    sim::DeviceNode& node = *device.node();
    if (node.state == sim::DeviceNodeState::SurpriseRemoved) {
        account_.status("IRP_MN_REMOVE_DEVICE (" + device.name + ")", pnp.removeDevice(node));
        return;
    }
    const sim::RemoveResult removal = pnp.remove(node);
    account_.status("IRP_MN_QUERY_REMOVE_DEVICE (" + device.name + ")", removal.queryStatus);
    if (removal.outcome == sim::RemoveOutcome::Removed)
        account_.status("IRP_MN_REMOVE_DEVICE (" + device.name + ")", removal.removeStatus);
}

void Run::setHandle(const std::string& name, void* handle) {
    std::lock_guard lock(handlesMutex_);
    handles_[name] = handle;
}

void* Run::handle(std::string_view name) {
    std::lock_guard lock(handlesMutex_);
    const auto it = handles_.find(name);
    return it != handles_.end() ? it->second : nullptr;
}

void* Run::takeHandle(std::string_view name) {
    std::lock_guard lock(handlesMutex_);
    const auto it = handles_.find(name);
    if (it == handles_.end())
        return nullptr;
    void* handle = it->second;
    handles_.erase(it);
    return handle;
}

void Run::finish() {
    account_.step("End: remove what is left, unload the driver, check the pool");
    for (auto& [name, background] : background_) {
        if (background.waited)
            continue;
        account_.hint("the background step " + name + " (line " +
                      std::to_string(background.step->line()) + ") was not waited for");
        waitBackground(name, account_);
    }
    // What the scenario left set must not stall its own end.
    system_->faults().reset();
    for (auto& [name, device] : devices_)
        if (sim::usb::BusDevice* bus = device.busDevice())
            bus->faults().clear();
    for (int endpoint : modeEndpoints_) {
        if (endpoint < 0)
            bus_->controller().setMode(sim::usb::CompletionMode::Thread);
        else
            bus_->controller().setMode(static_cast<UCHAR>(endpoint),
                                       sim::usb::CompletionMode::Thread);
    }
    bus_->controller().setForcePending(false);
    if (const std::size_t released = bus_->controller().releaseHeld(); released > 0)
        account_.detail("held transfers released", std::to_string(released));
    for (auto& [name, handle] : handles_) {
        CloseHandle(handle);
        account_.detail("handle " + name, "closed: the scenario left it open");
    }
    handles_.clear();
    if (system_->power().systemState() != PowerSystemWorking) {
        system_->power().setSystemState(PowerSystemWorking);
        account_.detail("system", "woken: the scenario left it asleep");
    }
    for (auto& [name, device] : devices_)
        takeDown(device);

    system_->io().unloadDriver(driver_);
    system_->checkLeaks();
    const std::size_t blocks = system_->pool().liveCount();
    account_.check(blocks == 0, "pool clean", std::to_string(blocks) + " block(s) left");
    reportNewFindings(account_);
}

} // namespace wdmusbsim
