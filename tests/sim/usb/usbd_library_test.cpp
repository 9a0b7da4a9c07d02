// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequest, on good descriptor
// sets and on a table of malformed ones.
#include <random>

#include "sim/memory/pool.h"
#include "tests/sim/usb/usb_fixture.h"

namespace wdmusb::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Two interfaces: 0 (vendor class, two endpoints) and 1 alternate 1 (class 3, one endpoint).
Bytes twoInterfaces() {
    Bytes d = {9, 2, 0, 0, 2,    1, 0, 0x80, 50, 9, 4, 0,    0, 2, 0xFF, 0,
               0, 0, 7, 5, 0x81, 2, 0, 2,    0,  7, 5, 0x02, 2, 0, 2,    0,
               9, 4, 1, 1, 1,    3, 1, 2,    0,  7, 5, 0x83, 3, 8, 0,    10};
    d[2] = static_cast<std::uint8_t>(d.size());
    return d;
}

PUSB_CONFIGURATION_DESCRIPTOR asConfig(Bytes& d) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
}

PUSB_INTERFACE_DESCRIPTOR parse(Bytes& d, LONG number, LONG alternate = -1, LONG cls = -1,
                                PVOID start = nullptr) {
    return USBD_ParseConfigurationDescriptorEx(asConfig(d), start != nullptr ? start : d.data(),
                                               number, alternate, cls, -1, -1);
}

using UsbdLibraryTest = SimTest;

TEST_F(UsbdLibraryTest, ParseFindsInterfacesByEachCriterion) {
    Bytes d = twoInterfaces();
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(parse(d, -1)), d.data() + 9);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(parse(d, 1)), d.data() + 32);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(parse(d, -1, 1)), d.data() + 32);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(parse(d, -1, -1, 3)), d.data() + 32);
    EXPECT_EQ(parse(d, 0, 1), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(parse(d, -1, -1, -1, d.data() + 18)), d.data() + 32)
        << "the search starts at StartPosition";
    EXPECT_EQ(parse(d, -1, -1, -1, d.data() + d.size()), nullptr) << "start outside the set";
}

TEST_F(UsbdLibraryTest, CreateRequestDescribesTheFirstInterface) {
    Bytes d = twoInterfaces();
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(asConfig(d), &size);
    ASSERT_NE(urb, nullptr);
    const auto& select = urb->UrbSelectConfiguration;
    EXPECT_EQ(select.Hdr.Length, size);
    EXPECT_EQ(select.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(select.ConfigurationDescriptor, asConfig(d));
    EXPECT_EQ(select.Interface.NumberOfPipes, 2u);
    EXPECT_EQ(select.Interface.Length,
              offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_GE(size, offsetof(_URB_SELECT_CONFIGURATION, Interface) + select.Interface.Length);
    for (ULONG i = 0; i < 2; ++i) {
        EXPECT_EQ(select.Interface.Pipes[i].MaximumTransferSize,
                  ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
        EXPECT_EQ(select.Interface.Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(select.Interface.Pipes[i].PipeFlags, 0u);
    }
    auto block = system_.pool().blockContaining(urb);
    ASSERT_TRUE(block.has_value()) << "allocated from the pool on the driver's behalf";
    EXPECT_EQ(block->tag, sim::Pool::kPlatformTag);
    ExFreePool(urb);
}

TEST_F(UsbdLibraryTest, CreateRequestFailsWhenTheAllocationIsFailed) {
    Bytes d = twoInterfaces();
    system_.faults().failNthOfKind(sim::AllocKind::ConfigurationRequest, 1);
    USHORT size = 7;
    EXPECT_EQ(USBD_CreateConfigurationRequest(asConfig(d), &size), nullptr);
}

TEST_F(UsbdLibraryTest, ASetWithoutInterfaceGivesARequestWithoutPipes) {
    Bytes d = {9, 2, 9, 0, 0, 1, 0, 0x80, 50};
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(asConfig(d), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
    EXPECT_EQ(parse(d, -1), nullptr);
    ExFreePool(urb);
}

// Malformed sets: each routine stays inside the set (the pool block holding it is exactly the
// set's bytes, so a read outside would hit a guard zone or another block), ends, and finds only
// whole interface descriptors.
TEST_F(UsbdLibraryTest, MalformedSetsAreReadSafely) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool interfaceFound;
    };
    const std::vector<Case> cases = {
        {"zero bLength before the interface",
         {9, 2, 27, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0},
         false},
        {"one-byte bLength",
         {9, 2, 20, 0, 1, 1, 0, 0x80, 50, 1, 4, 9, 4, 0, 0, 0, 0, 0, 0, 0},
         false},
        {"interface running past wTotalLength",
         {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0, 0, 0, 0},
         false},
        {"wTotalLength past the buffer",
         {9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0, 0, 0, 0},
         true},
        {"truncated interface record", {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 5, 4, 0, 0, 2}, false},
        {"wTotalLength below a header",
         {9, 2, 4, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0, 0, 0, 0},
         false},
        {"endpoint count with no endpoints",
         {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 30, 0, 0, 0, 0},
         true},
        {"only a few bytes", {9, 2, 9}, false},
    };
    for (const auto& c : cases) {
        auto* block = static_cast<std::uint8_t*>(
            ExAllocatePoolWithTag(NonPagedPool, c.bytes.size(), kTestTag));
        std::memcpy(block, c.bytes.data(), c.bytes.size());
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        EXPECT_EQ(found != nullptr, c.interfaceFound) << c.name;
        if (found != nullptr) {
            const auto* end = block + c.bytes.size();
            EXPECT_LE(reinterpret_cast<std::uint8_t*>(found) + sizeof(USB_INTERFACE_DESCRIPTOR),
                      end)
                << c.name;
        }
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        ASSERT_NE(urb, nullptr) << c.name;
        EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes,
                  found ? found->bNumEndpoints : 0u)
            << c.name;
        ExFreePool(urb);
        ExFreePool(block);
    }
    EXPECT_EQ(system_.pool().checkIntegrity(), 0u);
}

// Random sets built from descriptor-like pieces: the routines end and stay in bounds, whatever
// the seed (printed on failure for replay).
TEST_F(UsbdLibraryTest, RandomSetsNeverReadOutside) {
    const std::uint32_t seed = sim::FaultInjector::freshSeed();
    std::mt19937 random(seed);
    for (int round = 0; round < 500; ++round) {
        const std::size_t length = 2 + random() % 80;
        auto* block =
            static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, length, kTestTag));
        for (std::size_t i = 0; i < length; ++i)
            block[i] = static_cast<std::uint8_t>(random() % 4 == 0 ? random() % 12 : random());
        if (length >= 9) {
            block[0] = 9;
            block[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        }
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        if (found != nullptr) {
            ASSERT_LE(reinterpret_cast<std::uint8_t*>(found) + 9, block + length)
                << "seed " << seed;
        }
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(config, &size);
        ExFreePool(urb);
        ExFreePool(block);
    }
    EXPECT_EQ(system_.pool().checkIntegrity(), 0u) << "seed " << seed;
}

} // namespace
} // namespace wdmusb::test
