// The IRP trace: each IRP's way down the stack and back up, and the history of an IRP a verifier
// finding names.
#include <gtest/gtest.h>

#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"
#include "tests/tools/tool_fixture.h"
#include "tools/wdmusb-sim/trace/irp_trace.h"

namespace wdmusbsim::test {
namespace {

TEST(IrpTrace, AStartShowsEachLocationTheCompletionRoutineAndTheUrbsBelow) {
    const RunResult run = runText("plug dev\nstart\n", {.seed = 1, .trace = true});
    EXPECT_EQ(run.failures, 0) << run.output;
    for (const char* shown :
         {"-> [2/2] FDO#", "IRP_MJ_PNP IRP_MN_START_DEVICE (sim/pnp/", "-> [1/2] PDO#",
          "(driver/forward.cpp:", "completion routine SignalEventCompletion of [2/2] FDO#",
          "returned STATUS_MORE_PROCESSING_REQUIRED",
          "IRP_MJ_INTERNAL_DEVICE_CONTROL IOCTL_INTERNAL_USB_SUBMIT_URB "
          "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE",
          "URB_FUNCTION_SELECT_CONFIGURATION", "URB USBD_STATUS_SUCCESS",
          "dispatch returned STATUS_PENDING", "finished: STATUS_SUCCESS", "allocated with"})
        EXPECT_TRUE(run.shows(shown)) << shown << "\n" << run.output;
}

TEST(IrpTrace, WithoutTheOptionNothingIsTraced) {
    const RunResult run = runText("plug dev\nstart\n");
    EXPECT_FALSE(run.shows("IRP #")) << run.output;
}

class IrpTraceHistory : public wdmusb::test::SimTest {};

// A device that completes every IRP twice: the finding names the IRP, and the trace prints what
// happened to it, from its allocation to the second completion.
TEST_F(IrpTraceHistory, AFindingGetsTheHistoryOfTheIrpItNames) {
    std::FILE* out = std::tmpfile();
    Console console(out, false, Console::kDefaultWidth);
    Account account(console);
    IrpTrace trace(account);
    system_.io().setObserver(&trace);
    wdmusb::test::TestDriver driver;
    PDEVICE_OBJECT device = driver.createDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    wdmusb::test::sendAndWait(device, IRP_MJ_SYSTEM_CONTROL, 0);
    system_.io().setObserver(nullptr);
    const auto findings = expectFinding(sim::Rule::IrpCompletedTwice);
    ASSERT_FALSE(findings.empty());
    trace.printHistories(findings[0].message, account);
    console.flush();
    const std::string text = readAll(out);
    std::fclose(out);
    const auto history = text.find("history of IRP #");
    ASSERT_NE(history, std::string::npos) << text;
    const std::string after = text.substr(history);
    EXPECT_NE(after.find("allocated with 1 location(s)"), std::string::npos) << after;
    EXPECT_NE(after.find("-> [1/1] FDO#"), std::string::npos) << after;
    EXPECT_NE(after.find("completed at [1/1]"), std::string::npos) << after;
    EXPECT_NE(after.find("finished: STATUS_SUCCESS"), std::string::npos) << after;
}

TEST(IrpTrace, RoutinesWithoutASymbolAreNamedByAddress) {
    static int notARoutine = 0;
    const auto name = routineName(reinterpret_cast<PIO_COMPLETION_ROUTINE>(&notARoutine));
    EXPECT_EQ(name.rfind("routine 0x", 0), 0u) << name;
}

} // namespace
} // namespace wdmusbsim::test
