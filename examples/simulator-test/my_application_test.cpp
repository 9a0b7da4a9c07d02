// The application's code against the driver's own source on a simulated machine with the
// loopback device, which sends back what it is sent.
#include <gtest/gtest.h>

#include <chrono>

#include "driver/dispatch.h"   // the driver's DriverEntry
#include "public/wdmusb_api.h" // the application library
#include "sim/app/device_access.h"
#include "sim/app/simulated_machine.h"

TEST(MyApplication, SendsAndReadsBackThroughTheDriver) {
    sim::app::SimulatedMachine machine(DriverEntry);
    sim::DeviceNode& node = machine.plugDevice(); // the loopback device, started
    ASSERT_EQ(node.startStatus, STATUS_SUCCESS);

    WdmusbDevice* device = nullptr;
    ASSERT_EQ(WdmusbOpenPath(sim::app::devicePath(node).c_str(), &device), 0u);
    const char message[] = "hello, simulated device";
    char back[sizeof message] = {};
    uint32_t moved = 0;
    EXPECT_EQ(WdmusbWrite(device, message, sizeof message, 1000, &moved), 0u);
    EXPECT_EQ(WdmusbRead(device, back, sizeof back, 1000, &moved), 0u);
    EXPECT_STREQ(back, message);
    WdmusbClose(device);

    // The close reaches the driver once the handle's requests have ended.
    EXPECT_TRUE(sim::app::waitForCloses(node, std::chrono::seconds(5)));
    for (const sim::Finding& finding : machine.finish()) // the verifier's findings, leaks too
        ADD_FAILURE() << sim::ruleName(finding.rule) << ": " << finding.message;
}
