// Buffers a 32-bit application may pass that the I/O manager refuses before any driver sees the
// request: addresses with nothing mapped, addresses in the kernel's range, regions made
// inaccessible (PAGE_NOACCESS), and read-only regions where the system must write. The call fails
// with ERROR_NOACCESS and nothing is sent.
#include <cstdint>

#include "tests/sim/app/app_fixture.h"

namespace wdmusb::test {
namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class Where { Unmapped, Kernel, ReadOnly, NoAccess };

struct BadBufferCase {
    const char* name;
    Where where;
    bool input; // passed as the control code's input (else as its output, or a read's buffer)
    bool read;  // a ReadFile rather than DeviceIoControl
};

class BadBufferTest : public ApplicationTest, public ::testing::WithParamInterface<BadBufferCase> {
protected:
    void* place(Where where) {
        switch (where) {
        case Where::Unmapped:
            return reinterpret_cast<void*>(std::uintptr_t{0x2000});
        case Where::Kernel:
            return reinterpret_cast<void*>(std::uintptr_t{0x80001000});
        default:
            region_ = VirtualAlloc(nullptr, 64, MEM_COMMIT, PAGE_READWRITE);
            DWORD old = 0;
            EXPECT_TRUE(VirtualProtect(
                region_, 64, where == Where::NoAccess ? PAGE_NOACCESS : PAGE_READONLY, &old));
            EXPECT_EQ(old, static_cast<DWORD>(PAGE_READWRITE));
            return region_;
        }
    }
    void TearDown() override {
        if (region_ != nullptr)
            VirtualFree(region_, 0, MEM_RELEASE);
        ApplicationTest::TearDown();
    }
    void* region_ = nullptr;
};

TEST_P(BadBufferTest, FailsWithNoAccessAndSendsNothing) {
    const BadBufferCase& c = GetParam();
    int sent = 0;
    makeDevice([&sent](PDEVICE_OBJECT, PIRP irp) {
        ++sent;
        return complete(irp, STATUS_SUCCESS);
    });
    AppHandle device = openDevice(kAppTestClass);
    void* buffer = place(c.where);
    std::uint8_t ordinary[64] = {};
    DWORD bytes = 0;
    const BOOL ok =
        c.read ? ReadFile(device.get(), buffer, 64, &bytes, nullptr)
        : c.input
            ? DeviceIoControl(device.get(), kBuffered, buffer, 64, ordinary, 64, &bytes, nullptr)
            : DeviceIoControl(device.get(), kBuffered, ordinary, 64, buffer, 64, &bytes, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(sent, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, BadBufferTest,
    ::testing::Values(BadBufferCase{"ControlInputUnmapped", Where::Unmapped, true, false},
                      BadBufferCase{"ControlInputInKernelRange", Where::Kernel, true, false},
                      BadBufferCase{"ControlOutputUnmapped", Where::Unmapped, false, false},
                      BadBufferCase{"ControlOutputInKernelRange", Where::Kernel, false, false},
                      BadBufferCase{"ControlOutputReadOnly", Where::ReadOnly, false, false},
                      BadBufferCase{"ReadIntoUnmapped", Where::Unmapped, false, true},
                      BadBufferCase{"ReadIntoKernelRange", Where::Kernel, false, true},
                      BadBufferCase{"ReadIntoReadOnly", Where::ReadOnly, false, true},
                      BadBufferCase{"ControlInputNoAccess", Where::NoAccess, true, false},
                      BadBufferCase{"ReadIntoNoAccess", Where::NoAccess, false, true}),
    [](const auto& param) { return std::string(param.param.name); });

// A read-only region is fine as a control code's input: the system only reads it.
TEST_F(ApplicationTest, AReadOnlyRegionIsAControlCodesInput) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    AppHandle device = openDevice(kAppTestClass);
    void* region = VirtualAlloc(nullptr, 64, MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    VirtualProtect(region, 64, PAGE_READONLY, &old);
    EXPECT_TRUE(DeviceIoControl(device.get(), kBuffered, region, 64, nullptr, 0, nullptr, nullptr));
    VirtualFree(region, 0, MEM_RELEASE);
}

} // namespace
} // namespace wdmusb::test
