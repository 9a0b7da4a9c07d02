// Scenarios run against the driver: what the account shows, how failed expectations are counted
// and named by line, background steps, devices plugged in again, and the end of a run.
#include "tests/tools/tool_fixture.h"
#include "tools/wdmusb-sim/builtin_scenario.h"

namespace wdmusbsim::test {
namespace {

TEST(ScenarioRun, TheBuiltInScenarioPassesAndShowsTheDriverAtWork) {
    const RunResult run = runText(builtinScenarioText());
    EXPECT_EQ(run.failures, 0) << run.output;
    for (const char* shown :
         {"DriverEntry", "AddDevice", "\\??\\USB#VID_1209&PID_0001", "VID 1209  PID 0001",
          "0x81 IN   bulk  packet 512", "0x02 OUT  bulk", "transfers in flight on 0x02 16",
          "16 bulk transfer(s)", "vendor request IN", "System sleep S3", "IRP_MN_SURPRISE_REMOVAL",
          "pool clean", "verdict: PASS"})
        EXPECT_TRUE(run.shows(shown)) << shown << "\n" << run.output;
}

TEST(ScenarioRun, AWrongExpectationFailsTheRunAndNamesItsLine) {
    const RunResult run = runText("plug dev\n"
                                  "start\n"
                                  "expect state stopped\n"
                                  "expect flags started=no accepting=yes\n"
                                  "remove\n");
    EXPECT_EQ(run.failures, 2) << run.output;
    EXPECT_TRUE(run.shows("started, expected stopped [line 3]")) << run.output;
    EXPECT_TRUE(run.shows("yes, expected no [line 4]")) << run.output;
    EXPECT_TRUE(run.shows("verdict: FAIL  2 failure(s)")) << run.output;
    EXPECT_TRUE(run.shows("failed on line(s) 3, 4")) << run.output;
}

TEST(ScenarioRun, AStatusOtherThanExpectedFailsWithBothNamed) {
    const RunResult run = runText("plug dev\nstart expect=STATUS_DEVICE_BUSY\n");
    EXPECT_EQ(run.failures, 1);
    EXPECT_TRUE(run.shows("STATUS_SUCCESS, expected STATUS_DEVICE_BUSY [line 2]")) << run.output;
}

// The held start runs in the background; its account is shown when it is waited for, after the
// steps that released its transfers.
TEST(ScenarioRun, ABackgroundStepWaitsForHeldTransfersReleasedFromTheScenario) {
    const RunResult run = runText("plug dev\n"
                                  "mode held endpoint=0\n"
                                  "start as=s\n"
                                  "expect in-flight 1 endpoint=0\n"
                                  "release endpoint=0 expect=1\n"
                                  "expect in-flight 1 endpoint=0\n"
                                  "release endpoint=0 expect=1\n"
                                  "wait s\n"
                                  "expect flags started=yes\n");
    EXPECT_EQ(run.failures, 0) << run.output;
    const auto waited = run.output.find("Wait for s");
    ASSERT_NE(waited, std::string::npos);
    EXPECT_GT(run.output.find("IRP_MN_START_DEVICE"), waited) << run.output;
}

// A step on a device that a background step holds waits for its turn; the unplug itself does
// not wait, so the held descriptor read fails and the start with it.
TEST(ScenarioRun, ASurpriseRemovalDuringAStartFailsTheStartAndRemovesTheDevice) {
    const RunResult run = runText("plug dev\n"
                                  "mode held endpoint=0\n"
                                  "start as=s expect=STATUS_DEVICE_NOT_CONNECTED\n"
                                  "expect in-flight 1 endpoint=0\n"
                                  "surprise-remove\n"
                                  "wait s\n"
                                  "expect state deleted\n");
    EXPECT_EQ(run.failures, 0) << run.output;
    EXPECT_TRUE(run.shows("IRP_MN_REMOVE_DEVICE (never started)")) << run.output;
}

TEST(ScenarioRun, ADeviceComesBackUnderItsNameAfterLeavingOrBeingRemoved) {
    const RunResult run = runText("plug dev\nstart\nsurprise-remove\nremove\n"
                                  "plug dev\nexpect state added\nstart\n"
                                  "remove\nexpect state removed\n"
                                  "plug dev\nexpect state added\n"
                                  "plug dev\n");
    EXPECT_EQ(run.failures, 1) << run.output;
    EXPECT_TRUE(run.shows("a new PDO on a new port")) << run.output;
    EXPECT_TRUE(run.shows("AddDevice on the same PDO")) << run.output;
    EXPECT_TRUE(run.shows("still present (added): remove it first [line 12]")) << run.output;
}

// What a scenario leaves plugged in, held or failing is cleaned up at the end, so the verdict
// is about the driver.
TEST(ScenarioRun, TheEndRemovesWhatIsLeftWithFaultsAndHeldTransfersCleared) {
    const RunResult run = runText("plug a\nplug b\nstart a\nstart b\n"
                                  "fault alloc-all kind=pool\n"
                                  "mode held\n"
                                  "force-pending on\n");
    EXPECT_EQ(run.failures, 0) << run.output;
    EXPECT_TRUE(run.shows("IRP_MN_REMOVE_DEVICE (a)")) << run.output;
    EXPECT_TRUE(run.shows("IRP_MN_REMOVE_DEVICE (b)")) << run.output;
}

TEST(ScenarioRun, FaultsGiveTheStatusesTheDriverPassesOn) {
    const RunResult run =
        runText("plug dev\n"
                "fault alloc nth=1 kind=configuration-request\n"
                "start expect=STATUS_INSUFFICIENT_RESOURCES\n"
                "fault urb function=get-descriptor-from-device irp=STATUS_IO_TIMEOUT "
                "usb=dev-not-responding\n"
                "start expect=STATUS_IO_TIMEOUT\n"
                "fault urb function=get-descriptor-from-device nth=2 action=short bytes=4\n"
                "start expect=STATUS_DEVICE_DATA_ERROR\n"
                "start\n"
                "expect urbs select-configuration count=1\n"
                "expect findings\n");
    EXPECT_EQ(run.failures, 0) << run.output;
}

// Application steps: each request's own status, bytes and data are checked, and a wrong
// expectation names what differs.
TEST(ScenarioRun, ApplicationStepsCheckStatusBytesAndData) {
    struct Case {
        const char* steps; // after "plug dev\nstart\nopen app\n"
        int failures;
        const char* shown;
    };
    const Case cases[] = {
        {"write app data=01020304 bytes=4\nread app 4 bytes=4 data=01020304\n", 0, "bytes moved"},
        {"write app 4\nread app 4 data=ffffffff\n", 1, "4 byte(s) differ (first at offset 0)"},
        {"write app 8K\nread app 8K pattern=yes\n", 0, "2 bulk transfer(s) sent to the bus"},
        {"read app 65537 expect=STATUS_INVALID_PARAMETER\n", 0, "STATUS_INVALID_PARAMETER"},
        {"open other expect=STATUS_INSUFFICIENT_RESOURCES\n", 0, "CreateFile"},
        {"ioctl app get-configuration-descriptor bytes=32\n", 0, "wTotalLength"},
        {"ioctl app vendor-out request=1 index=8 data=0a0b\n"
         "ioctl app vendor-in request=1 index=8 length=2 data=0a0b\n",
         0, "vendor request IN"},
        {"ioctl app vendor-in request=0xff length=2\n", 1, "[line 4]"},
        {"", 0, "closed: the scenario left it open"},
    };
    for (const Case& c : cases) {
        const RunResult run = runText(std::string("plug dev\nstart\nopen app\n") + c.steps);
        EXPECT_EQ(run.failures, c.failures) << c.steps << run.output;
        EXPECT_TRUE(run.shows(c.shown)) << c.shown << "\n" << run.output;
    }
}

TEST(ScenarioRun, TheSeedOfTheRunDrivesRandomFaultsAndIsShown) {
    const RunResult run = runText("plug dev\nfault alloc-random per-mille=1000\n"
                                  "start expect=STATUS_INSUFFICIENT_RESOURCES\n",
                                  {.seed = 4242});
    EXPECT_EQ(run.failures, 0) << run.output;
    EXPECT_TRUE(run.shows("seed 4242")) << run.output;
    EXPECT_TRUE(run.shows("1000 allocations in 1000, seed 4242")) << run.output;
}

} // namespace
} // namespace wdmusbsim::test
