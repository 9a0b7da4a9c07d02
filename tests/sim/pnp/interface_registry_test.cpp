// Device interfaces: registering (a pool-allocated name after the device's instance path),
// enabling and disabling, and what an application finds by class.
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "tests/support/sim_fixture.h"

namespace wdmusb::test {
namespace {

constexpr GUID kClass = {
    0x6e0a2b1c, 0x4d3f, 0x4a5e, {0x9b, 0x1d, 0x2c, 0x3e, 0x4f, 0x50, 0x61, 0x72}};
constexpr GUID kOtherClass = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 6, 6, 7, 7}};

std::u16string textOf(const UNICODE_STRING& s) {
    return {s.Buffer, s.Length / sizeof(WCHAR)};
}

class InterfaceRegistryTest : public SimTest {
protected:
    sim::DeviceInterfaceRegistry& registry() { return system_.pnp().interfaces(); }
    sim::usb::BusDriver bus_;
    PDEVICE_OBJECT pdo_ = bus_.plug().pdo();
};

TEST_F(InterfaceRegistryTest, NameFollowsTheInstancePathAndTheClass) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(textOf(link),
              u"\\??\\USB#VID_1209&PID_0001#5&1a2b3c&0&1#{6e0a2b1c-4d3f-4a5e-9b1d-2c3e4f506172}");
    EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], u'\0') << "terminated, as the platform's";
    EXPECT_EQ(system_.pool().blockContaining(link.Buffer)->tag, sim::Pool::kPlatformTag);
    RtlFreeUnicodeString(&link);
}

TEST_F(InterfaceRegistryTest, RegisteringAgainGivesTheSameNameInAFreshBlock) {
    UNICODE_STRING first{}, second{}, referenced{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &second), STATUS_SUCCESS);
    EXPECT_EQ(textOf(first), textOf(second));
    EXPECT_NE(first.Buffer, second.Buffer);
    WCHAR ref[] = u"extra";
    UNICODE_STRING reference{};
    RtlInitUnicodeString(&reference, ref);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, &reference, &referenced), STATUS_SUCCESS);
    EXPECT_EQ(textOf(referenced), textOf(first) + u"\\extra");
    EXPECT_EQ(registry().all().size(), 2u);
    RtlFreeUnicodeString(&first);
    RtlFreeUnicodeString(&second);
    RtlFreeUnicodeString(&referenced);
}

TEST_F(InterfaceRegistryTest, ApplicationsFindOnlyEnabledInterfacesOfTheirClass) {
    UNICODE_STRING mine{}, other{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &mine), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kOtherClass, nullptr, &other), STATUS_SUCCESS);
    EXPECT_TRUE(registry().enabled(kClass).empty()) << "registered, not yet enabled";

    EXPECT_EQ(IoSetDeviceInterfaceState(&mine, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&other, TRUE), STATUS_SUCCESS);
    const auto found = registry().enabled(kClass);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].link, textOf(mine));
    EXPECT_EQ(found[0].pdo, pdo_);

    EXPECT_EQ(IoSetDeviceInterfaceState(&mine, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(registry().enabled(kClass).empty());
    EXPECT_EQ(registry().enabledFor(pdo_).size(), 1u) << "the other class stays enabled";
    RtlFreeUnicodeString(&mine);
    RtlFreeUnicodeString(&other);
}

TEST_F(InterfaceRegistryTest, ADeviceBackOnANewPdoOwnsItsOldName) {
    PDEVICE_OBJECT returned = bus_.plug().pdo();
    registry().setInstancePath(returned, bus_.devices().front()->instancePath());
    UNICODE_STRING before{}, after{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &before), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(returned, &kClass, nullptr, &after), STATUS_SUCCESS);
    EXPECT_EQ(textOf(before), textOf(after));
    EXPECT_EQ(IoSetDeviceInterfaceState(&after, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(registry().enabledFor(returned).size(), 1u);
    EXPECT_TRUE(registry().enabledFor(pdo_).empty()) << "removal checks look at the live PDO";
    RtlFreeUnicodeString(&before);
    RtlFreeUnicodeString(&after);
}

TEST_F(InterfaceRegistryTest, UnknownNamesAndDevicesAreRefused) {
    WCHAR text[] = u"\\??\\USB#VID_0000&PID_0000#nothing#{00000000-0000-0000-0000-000000000000}";
    UNICODE_STRING unknown{};
    RtlInitUnicodeString(&unknown, text);
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    UNICODE_STRING link{};
    DEVICE_OBJECT notADevice{};
    EXPECT_EQ(IoRegisterDeviceInterface(&notADevice, &kClass, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(link.Buffer, nullptr);
}

TEST_F(InterfaceRegistryTest, RegistrationCanBeMadeToFail) {
    system_.faults().failNthOfKind(sim::AllocKind::InterfaceRegistration, 1);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &link),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_TRUE(registry().all().empty());
}

// Only enabling fails: the disabling of a device going away always goes through.
TEST_F(InterfaceRegistryTest, EnablingCanBeMadeToFail) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kClass, nullptr, &link), STATUS_SUCCESS);
    system_.faults().failAllOfKind(sim::AllocKind::InterfaceEnabling);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(registry().enabled(kClass).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(system_.faults().allocationsSeen(sim::AllocKind::InterfaceEnabling), 1u);
    system_.faults().reset();
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(registry().enabled(kClass).size(), 1u);
    RtlFreeUnicodeString(&link);
}

} // namespace
} // namespace wdmusb::test
