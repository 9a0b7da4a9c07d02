#include "tools/wdmusbctl/simulated_host.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "driver/dispatch.h"
#include "sim/app/simulated_machine.h"
#include "sim/usb/descriptor_device.h"
#include "sim/util/status_names.h"
#include "tools/wdmusbctl/cli.h"
#include "tools/wdmusbctl/descriptor_file.h"
#include "tools/wdmusbctl/errors.h"

namespace wdmusbctl {

namespace {

// The machine is set up once the command line is known (it names the device), and ended after the
// command whatever it did.
class SimulatedPlatform : public Platform {
public:
    void addOptions(CLI::App& app) override {
        app.add_option("--descriptors", file_,
                       "Simulator: plug a device built from the descriptor bytes in FILE (the "
                       "device descriptor, then the configuration descriptor; raw, or hex text) "
                       "instead of the loopback device")
            ->option_text("FILE")
            ->check(CLI::ExistingFile);
    }

    void start() override {
        std::shared_ptr<sim::usb::DeviceModel> model = deviceModel();
        machine_.emplace(DriverEntry);
        machine_->system().verifier().setQuiet(true); // reported in finish(), once
        const sim::DeviceNode& node = machine_->plugDevice(std::move(model));
        // The program goes on: what an application meets on such a device is the point.
        if (node.startStatus != STATUS_SUCCESS)
            std::fprintf(stderr, "wdmusbctl: simulator: the device did not start (%s)\n",
                         sim::statusName(node.startStatus).c_str());
    }

    int finish(int status) override {
        if (!machine_)
            return status;
        const std::vector<sim::Finding> findings = machine_->finish();
        for (const sim::Finding& finding : findings)
            std::fprintf(stderr, "wdmusbctl: simulator: %.*s: %s\n",
                         static_cast<int>(sim::ruleName(finding.rule).size()),
                         sim::ruleName(finding.rule).data(), finding.message.c_str());
        return findings.empty() ? status : static_cast<int>(Exit::SimulatorFinding);
    }

private:
    // The loopback device, or the device the --descriptors file describes (its endpoints behave
    // as the loopback device's).
    std::shared_ptr<sim::usb::DeviceModel> deviceModel() const {
        if (file_.empty())
            return nullptr;
        std::ifstream stream(file_, std::ios::binary);
        const std::vector<std::uint8_t> content{std::istreambuf_iterator<char>(stream),
                                                std::istreambuf_iterator<char>()};
        DescriptorBytes bytes = readDescriptorBytes(file_, content);
        if (bytes.configuration.empty())
            bytes.configuration = sim::usb::LoopbackDevice::defaultConfigurationDescriptor();
        return std::make_shared<sim::usb::DescriptorDevice>(std::move(bytes.device),
                                                            std::move(bytes.configuration));
    }

    std::string file_;
    std::optional<sim::app::SimulatedMachine> machine_;
};

} // namespace

int runOnSimulator(int argc, char** argv) {
    SimulatedPlatform platform;
    return run(argc, argv, &platform);
}

} // namespace wdmusbctl
