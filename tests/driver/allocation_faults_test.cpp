// Low resources: every allocation the driver makes while adding, starting, stopping and recovering
// a device is failed once, in turn. Each run must end with a clear status, nothing leaked and no
// verifier finding.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/driver/driver_on_bus.h"
#include "tests/support/driver_build.h"
#include "usb/configuration.h"
#include "usb/pipe_marker.h"
#include "usb/recovery.h"

namespace wdmusb::test {
namespace {

// One allocation failed on purpose: the n-th of its kind in the scenario.
struct FailedAllocation {
    sim::AllocKind kind;
    std::uint64_t ordinal;
    bool lastOfKind; // the scenario makes no later allocation of this kind
};

class AllocationFaultsTest : public DriverOnBusTest {
protected:
    using Step = std::function<NTSTATUS(sim::usb::BusDevice&)>;

    // Runs `scenario` once per allocation it makes, failing that allocation. Each run gets a
    // freshly plugged device, prepared by `setup` without faults; `scenario` returns the status
    // it ended with and `check` looks at the result.
    void failEachAllocation(
        const Step& setup, const Step& scenario,
        const std::function<void(NTSTATUS, sim::usb::BusDevice&, const FailedAllocation&)>& check) {
        sim::usb::BusDevice& reference = bus_.plug(model_());
        ASSERT_TRUE(NT_SUCCESS(setup(reference)));
        system_.faults().reset();
        ASSERT_TRUE(NT_SUCCESS(scenario(reference)));
        std::uint64_t perKind[sim::kAllocKindCount];
        for (int k = 0; k < sim::kAllocKindCount; ++k)
            perKind[k] = system_.faults().allocationsSeen(static_cast<sim::AllocKind>(k));

        for (int k = 0; k < sim::kAllocKindCount; ++k)
            for (std::uint64_t n = 1; n <= perKind[k]; ++n) {
                const FailedAllocation failed{static_cast<sim::AllocKind>(k), n, n == perKind[k]};
                SCOPED_TRACE(std::string(sim::allocKindName(failed.kind)) + " allocation " +
                             std::to_string(n));
                sim::usb::BusDevice& device = bus_.plug(model_());
                const std::size_t blocksBefore = system_.pool().liveCount();
                ASSERT_TRUE(NT_SUCCESS(setup(device)));
                system_.faults().reset();
                system_.faults().failNthOfKind(failed.kind, n);
                const NTSTATUS status = scenario(device);
                ASSERT_EQ(system_.faults().failuresInjected(), 1u);
                ++runs_;
                check(status, device, failed);

                for (sim::DeviceNode* node : system_.pnp().nodes())
                    if (node->pdo == device.pdo())
                        takeDown(*node);
                EXPECT_EQ(system_.pool().liveCount(), blocksBefore) << "leaked";
                system_.faults().reset();
                for (const auto& finding : system_.verifier().takeAll())
                    ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] "
                                  << finding.message;
            }
    }

    sim::DeviceNode& add(sim::usb::BusDevice& device) {
        sim::DeviceNode& node = system_.pnp().add(driver_, device.pdo());
        node.busDevice = &device;
        return node;
    }

    // Adds the driver above a plugged device and starts it.
    NTSTATUS addAndStart(sim::usb::BusDevice& device) {
        sim::DeviceNode& node = add(device);
        return NT_SUCCESS(node.addStatus) ? system_.pnp().start(node) : node.addStatus;
    }

    static NTSTATUS nothing(sim::usb::BusDevice&) { return STATUS_SUCCESS; }

    std::size_t runs_ = 0; // scenarios run with one allocation failed

    PDEVICE_OBJECT fdoAbove(sim::usb::BusDevice& device) {
        PDEVICE_OBJECT top = system_.io().topOfStack(device.pdo());
        return top == device.pdo() ? nullptr : top;
    }

    // A configuration descriptor read in two passes, so that the grown buffer is failed too.
    std::function<std::shared_ptr<sim::usb::DeviceModel>()> model_ = [] {
        return deviceWithConfiguration(configurationOfLength(600));
    };
};

TEST_F(AllocationFaultsTest, AddAndStart) {
    failEachAllocation(
        nothing, [&](sim::usb::BusDevice& device) { return addAndStart(device); },
        [&](NTSTATUS status, sim::usb::BusDevice& device, const FailedAllocation& failed) {
            PDEVICE_OBJECT fdo = fdoAbove(device);
            if (failed.kind == sim::AllocKind::InterfaceRegistration ||
                failed.kind == sim::AllocKind::InterfaceEnabling ||
                failed.kind == sim::AllocKind::DeviceObject) {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_EQ(fdo, nullptr);
                EXPECT_TRUE(system_.pnp().interfaces().enabledFor(device.pdo()).empty());
                return;
            }
            ASSERT_NE(fdo, nullptr);
            PDEVICE_EXTENSION ext = GetExtension(fdo);
            if (failed.kind == sim::AllocKind::Irp && failed.ordinal == 1) {
                // The capability query: not needed. The later IRPs are the descriptor reads'.
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(ext->IdleDevicePowerState, PowerDeviceUnspecified);
            } else if (failed.kind == sim::AllocKind::Pool && failed.lastOfKind) {
                // The interface copy, made after the select succeeded.
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(ext->InterfaceInformation, nullptr);
            } else {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            }
            EXPECT_EQ(ext->Started != FALSE, NT_SUCCESS(status));
            EXPECT_EQ(ext->OutstandingIoCount, 1);
        });
    // Registration, enabling, device object, capability IRP, the configuration request, three
    // descriptor reads (two of the configuration) and the select, and six pool blocks (two URBs,
    // the device descriptor, both configuration buffers, the interface copy).
    EXPECT_EQ(runs_, 15u);
}

TEST_F(AllocationFaultsTest, Unconfigure) {
    SOURCE_BUILD_ONLY();
    failEachAllocation(
        [&](sim::usb::BusDevice& device) { return addAndStart(device); },
        [&](sim::usb::BusDevice& device) { return UnconfigureDevice(fdoAbove(device)); },
        [&](NTSTATUS status, sim::usb::BusDevice& device, const FailedAllocation&) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_TRUE(GetExtension(fdoAbove(device))->Started);
            EXPECT_TRUE(device.configured());
        });
}

TEST_F(AllocationFaultsTest, PipeAndPortRecovery) {
    SOURCE_BUILD_ONLY();
    failEachAllocation(
        [&](sim::usb::BusDevice& device) {
            const NTSTATUS status = addAndStart(device);
            if (!NT_SUCCESS(status))
                return status;
            PDEVICE_EXTENSION ext = GetExtension(fdoAbove(device));
            for (ULONG i = 0; i < 2; ++i)
                TryBindPipe(&ext->InterfaceInformation->Pipes[i]);
            ext->OpenPipeCount = 2;
            return status;
        },
        [&](sim::usb::BusDevice& device) {
            PDEVICE_OBJECT fdo = fdoAbove(device);
            PDEVICE_EXTENSION ext = GetExtension(fdo);
            NTSTATUS status = ResetPipe(fdo, &ext->InterfaceInformation->Pipes[0]);
            device.setPortEnabled(false);
            if (NT_SUCCESS(status))
                status = ResetDeviceIfPortDisabled(fdo);
            if (NT_SUCCESS(status))
                status = AbortOpenPipes(fdo);
            return status;
        },
        [&](NTSTATUS status, sim::usb::BusDevice& device, const FailedAllocation&) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            PDEVICE_EXTENSION ext = GetExtension(fdoAbove(device));
            LONG bound = 0;
            for (ULONG i = 0; i < 2; ++i)
                bound += IsPipeBound(&ext->InterfaceInformation->Pipes[i]) ? 1 : 0;
            EXPECT_EQ(ext->OpenPipeCount, bound) << "every bound pipe counted, none twice";
            EXPECT_GE(bound, 1) << "the abort stopped at the failure";
        });
}

} // namespace
} // namespace wdmusb::test
