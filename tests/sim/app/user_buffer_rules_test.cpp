// The verifier's rules on what reaches an application and on how its buffers are probed, each
// broken on purpose by a driver of the test's.
#include <cstring>

#include "platform/platform.h"
#include "sim/memory/pool.h"
#include "tests/sim/app/app_fixture.h"

namespace wdmusb::test {
namespace {

using sim::Rule;

constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class UserBufferRulesTest : public ApplicationTest {
protected:
    // Locks the application's buffer of a METHOD_NEITHER request (its input pointer) the way the
    // test asks, then gives it back.
    void probeApplicationBuffer(KPROCESSOR_MODE mode, KIRQL irql) {
        makeDevice([mode, irql](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            PMDL mdl = IoAllocateMdl(stack->Parameters.DeviceIoControl.Type3InputBuffer,
                                     stack->Parameters.DeviceIoControl.InputBufferLength, FALSE,
                                     FALSE, nullptr);
            const KIRQL old = KfRaiseIrql(irql);
            const NTSTATUS status = ProbeAndLockPagesGuarded(mdl, mode, IoReadAccess);
            KfLowerIrql(old);
            if (NT_SUCCESS(status))
                MmUnlockPages(mdl);
            IoFreeMdl(mdl);
            return complete(irp, status);
        });
        AppHandle device = openDevice(kAppTestClass);
        void* buffer = VirtualAlloc(nullptr, 64, MEM_COMMIT, PAGE_READWRITE);
        EXPECT_TRUE(
            DeviceIoControl(device.get(), kNeither, buffer, 64, nullptr, 0, nullptr, nullptr));
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
};

// A driver that says it returned more than it wrote hands out the system buffer's fresh pool.
TEST_F(UserBufferRulesTest, NeverWrittenPoolInAControlCodesOutputIsReported) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x11, 8);
        return complete(irp, STATUS_SUCCESS, 24);
    });
    AppHandle device = openDevice(kAppTestClass);
    std::uint8_t out[32];
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device.get(), kBuffered, nullptr, 0, out, 32, &returned, nullptr));
    expectFinding(Rule::UninitialisedMemoryExposed, "at byte 8 of the 24");
}

// A driver that copies pool nobody wrote into the buffer of a direct-I/O read.
TEST_F(UserBufferRulesTest, NeverWrittenPoolInADirectReadIsReported) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) {
        void* fresh = ExAllocatePoolWithTag(NonPagedPool, 64, 0x74736554);
        void* mapped = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        std::memcpy(mapped, fresh, 64);
        ExFreePool(fresh);
        return complete(irp, STATUS_SUCCESS, 64);
    });
    AppHandle device = openDevice(kAppTestClass);
    std::uint8_t buffer[64];
    EXPECT_TRUE(ReadFile(device.get(), buffer, 64, nullptr, nullptr));
    expectFinding(Rule::UninitialisedMemoryExposed, "the read of IRP #");
}

// A device's few bytes may equal the fill by chance: a read shorter than the run is not reported.
TEST_F(UserBufferRulesTest, AShortDirectReadOfFillLikeBytesIsNotReported) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) {
        auto* mapped = static_cast<std::uint8_t*>(
            MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::memset(mapped, sim::Pool::kFreedFill, 3);
        return complete(irp, STATUS_SUCCESS, 3);
    });
    AppHandle device = openDevice(kAppTestClass);
    std::uint8_t buffer[64];
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(device.get(), buffer, 64, &bytes, nullptr));
    EXPECT_EQ(bytes, 3U);
}

TEST_F(UserBufferRulesTest, AKernelModeProbeOfAnApplicationsAddressIsReported) {
    probeApplicationBuffer(KernelMode, PASSIVE_LEVEL);
    expectFinding(Rule::KernelModeProbeOfUserBuffer, "probe it as UserMode");
}

TEST_F(UserBufferRulesTest, AProbeOfUserMemoryAboveApcLevelIsReported) {
    probeApplicationBuffer(UserMode, DISPATCH_LEVEL);
    expectFinding(Rule::UserProbeAboveApcLevel, "at IRQL 2");
}

} // namespace
} // namespace wdmusb::test
