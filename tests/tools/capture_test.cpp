// The USB capture: the record layout Wireshark reads for this platform, and captures of the
// driver at work read back with tshark — the functions, endpoints, directions, lengths and data
// it decodes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "tests/support/sim_fixture.h"
#include "tests/tools/tool_fixture.h"
#include "tests/tools/tshark.h"
#include "tools/wdmusb-sim/builtin_scenario.h"
#include "tools/wdmusb-sim/capture/pcap_capture.h"
#include "tools/wdmusb-sim/capture/usbpcap_record.h"
#include "usb/pipe_marker.h"

namespace wdmusbsim::test {
namespace {

constexpr ULONG kTestTag = 0x74736554; // "Test": not the driver's

const std::vector<std::string> kFields{"usb.function",
                                       "usb.irp_info.direction",
                                       "usb.endpoint_address",
                                       "usb.transfer_type",
                                       "usb.data_len",
                                       "usb.control_stage",
                                       "usb.usbd_status",
                                       "usb.setup.bRequest",
                                       "usb.capdata",
                                       "usb.data_fragment",
                                       "usb.idVendor",
                                       "usb.bDescriptorType",
                                       "usb.bConfigurationValue",
                                       "usb.setup.wLength"};
enum Field {
    Function,
    Direction,
    Endpoint,
    Transfer,
    Length,
    Stage,
    Status,
    Request,
    Data,
    Fragment,
    Vendor,
    DescriptorType,
    Configuration,
    RequestLength
};

std::string tempFile(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + "-" + std::to_string(getpid()) + ".pcap"))
        .string();
}

bool has(const TsharkRow& row, std::initializer_list<std::pair<Field, std::string>> wanted) {
    return std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
        return static_cast<std::size_t>(w.first) < row.size() && row[w.first] == w.second;
    });
}

// The index of the first row at or after `from` holding every wanted field; rows.size() if none.
std::size_t findRow(const std::vector<TsharkRow>& rows, std::size_t from,
                    std::initializer_list<std::pair<Field, std::string>> wanted) {
    for (std::size_t i = from; i < rows.size(); ++i)
        if (has(rows[i], wanted))
            return i;
    return rows.size();
}

TEST(UsbPcapRecord, HeaderFieldsSitAtTheirOffsetsLittleEndian) {
    const std::uint8_t data[] = {0xAA, 0xBB};
    UsbPcapRecord record{.irpId = 0x1122334455667788,
                         .usbdStatus = 0xC0000004,
                         .function = 0x0009,
                         .completion = true,
                         .bus = 1,
                         .device = 3,
                         .endpoint = 0x81,
                         .transfer = UsbTransfer::Bulk,
                         .data = data};
    const auto bulk = encode(record);
    const std::vector<std::uint8_t> expected{
        27,   0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x04, 0x00, 0x00, 0xC0, 0x09,
        0x00, 1, 1,    0,    3,    0,    0x81, 3,    2,    0,    0,    0,    0xAA, 0xBB};
    EXPECT_EQ(bulk, expected);

    record.transfer = UsbTransfer::Control;
    record.stage = ControlStage::Complete;
    const auto control = encode(record);
    ASSERT_EQ(control.size(), 28u + 2);
    EXPECT_EQ(control[0], 28);
    EXPECT_EQ(control[22], 2);
    EXPECT_EQ(control[27], 3) << "the stage follows the data length";
    EXPECT_EQ(control[28], 0xAA);
}

// The built-in scenario's capture: the descriptor reads, the configuration selected (as the
// SET_CONFIGURATION request), every submit answered by its completion.
TEST(Capture, TheBuiltInScenarioDecodesAsDescriptorReadsAndSetConfiguration) {
    const std::string file = tempFile("builtin");
    const RunResult run = runText(builtinScenarioText(), {.seed = 1, .captureFile = file});
    ASSERT_EQ(run.failures, 0) << run.output;
    const auto rows = tsharkFields(file, kFields);
    std::filesystem::remove(file);
    ASSERT_FALSE(rows.empty()) << "tshark read nothing";

    const std::size_t deviceRequest = findRow(rows, 0,
                                              {{Function, "0x000b"},
                                               {Direction, "0x00"},
                                               {Endpoint, "0x80"},
                                               {Transfer, "0x02"},
                                               {Stage, "0"},
                                               {Request, "6"},
                                               {Length, "8"},
                                               {DescriptorType, "0x01"},
                                               {RequestLength, "18"}});
    ASSERT_LT(deviceRequest, rows.size());
    const std::size_t deviceAnswer = findRow(rows, deviceRequest,
                                             {{Function, "0x000b"},
                                              {Direction, "0x01"},
                                              {Stage, "3"},
                                              {Length, "18"},
                                              {Vendor, "0x1209"}});
    ASSERT_LT(deviceAnswer, rows.size());
    const std::size_t configurationRequest = findRow(rows, deviceAnswer,
                                                     {{Function, "0x000b"},
                                                      {Direction, "0x00"},
                                                      {DescriptorType, "0x02"},
                                                      {RequestLength, "521"}});
    ASSERT_LT(configurationRequest, rows.size());
    const std::size_t configurationAnswer = findRow(
        rows, configurationRequest, {{Function, "0x000b"}, {Direction, "0x01"}, {Length, "32"}});
    ASSERT_LT(configurationAnswer, rows.size());
    const std::size_t select = findRow(rows, configurationAnswer,
                                       {{Function, "0x0000"},
                                        {Direction, "0x00"},
                                        {Endpoint, "0x00"},
                                        {Request, "9"},
                                        {Configuration, "1"}});
    ASSERT_LT(select, rows.size());
    EXPECT_LT(
        findRow(rows, select, {{Function, "0x0000"}, {Direction, "0x01"}, {Status, "0x00000000"}}),
        rows.size());
    // The rebalance gives the configuration up: SET_CONFIGURATION 0, which the device, idle in
    // its low-power state until the stop woke it, carries out.
    const std::size_t unconfigure =
        findRow(rows, select, {{Function, "0x0000"}, {Request, "9"}, {Configuration, "0"}});
    ASSERT_LT(unconfigure, rows.size());
    const std::size_t unconfigured =
        findRow(rows, unconfigure, {{Function, "0x0000"}, {Direction, "0x01"}});
    ASSERT_LT(unconfigured, rows.size());
    EXPECT_EQ(rows[unconfigured][Status], "0x00000000");
    const auto submits = std::count_if(rows.begin(), rows.end(),
                                       [](const TsharkRow& r) { return r[Direction] == "0x00"; });
    EXPECT_EQ(static_cast<std::size_t>(submits) * 2, rows.size()) << "each submit completes";
}

// The built-in scenario's 64 KiB round trip: 16 bulk OUT chunks of 4096 bytes on 0x02 carrying
// the test pattern, 16 bulk IN chunks back on 0x81; then the vendor requests both ways, and the
// abort of the IN pipe when the device is pulled out under a read.
TEST(Capture, TheBuiltInRoundTripDecodesAsSixteenChunksEachWayWithTheirData) {
    const std::string file = tempFile("roundtrip");
    const RunResult run = runText(builtinScenarioText(), {.seed = 1, .captureFile = file});
    ASSERT_EQ(run.failures, 0) << run.output;
    const auto rows = tsharkFields(file, kFields);
    std::filesystem::remove(file);
    const std::size_t vendor = findRow(rows, 0, {{Function, "0x0017"}, {Request, "1"}});
    ASSERT_LT(vendor, rows.size()) << "no vendor request decoded";
    const auto before = [&](std::initializer_list<std::pair<Field, std::string>> wanted) {
        return std::count_if(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(vendor),
                             [&](const TsharkRow& row) { return has(row, wanted); });
    };
    EXPECT_EQ(before({{Function, "0x0009"},
                      {Direction, "0x00"},
                      {Endpoint, "0x02"},
                      {Transfer, "0x03"},
                      {Length, "4096"}}),
              16);
    EXPECT_EQ(before({{Function, "0x0009"},
                      {Direction, "0x01"},
                      {Endpoint, "0x81"},
                      {Length, "4096"},
                      {Status, "0x00000000"}}),
              16);
    const std::size_t firstChunk =
        findRow(rows, 0, {{Function, "0x0009"}, {Direction, "0x00"}, {Endpoint, "0x02"}});
    ASSERT_LT(firstChunk, rows.size());
    EXPECT_EQ(rows[firstChunk][Data].substr(0, 16), "00070e151c232a31") << "the pattern's start";
    EXPECT_EQ(rows[firstChunk][Data].size(), 2u * 4096);
    // Vendor requests: OUT with its four bytes after the setup packet, IN with four coming back.
    EXPECT_LT(findRow(rows, 0, {{Function, "0x0017"}, {Direction, "0x00"}, {Fragment, "deadbeef"}}),
              rows.size());
    const std::size_t in = findRow(rows, vendor + 1, {{Function, "0x0017"}, {Direction, "0x00"}});
    EXPECT_LT(
        findRow(rows, in,
                {{Function, "0x0017"}, {Direction, "0x01"}, {Length, "4"}, {Status, "0x00000000"}}),
        rows.size());
    EXPECT_LT(findRow(rows, vendor, {{Function, "0x0002"}, {Endpoint, "0x81"}}), rows.size())
        << "the IN pipe aborted at surprise removal";
}

// Transfers sent to the PDO directly (the driver's reads and writes will send the same), and
// the ABORT_PIPE of a pipe bound to a handle at surprise removal.
class CaptureOnBus : public wdmusb::test::SimTest {
protected:
    void SetUp() override {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = system_.io().loadDriver("wdmusb", DriverEntry, &status);
        ASSERT_TRUE(capture_.ok()) << capture_.error();
        bus_.addObserver(&capture_);
    }
    void TearDown() override {
        bus_.removeObserver(&capture_);
        system_.io().unloadDriver(driver_);
        std::filesystem::remove(file_);
        SimTest::TearDown();
    }

    // Sends one URB to the PDO and waits, as the driver's bus requests do.
    static NTSTATUS submit(PDEVICE_OBJECT pdo, URB& urb) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK result{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                                 nullptr, 0, TRUE, &done, &result);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        if (IoCallDriver(pdo, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return result.Status;
    }

    static URB* bulkUrb(USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG bytes) {
        auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), kTestTag));
        std::memset(urb, 0, sizeof(URB));
        auto& bulk = urb->UrbBulkOrInterruptTransfer;
        bulk.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        bulk.PipeHandle = pipe;
        bulk.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        bulk.TransferBufferLength = bytes;
        bulk.TransferBuffer = buffer;
        return urb;
    }

    std::string file_ = tempFile("bus");
    PcapCapture capture_{file_};
    sim::usb::BusDriver bus_;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(CaptureOnBus, BulkDataBothWaysAndTheAbortAtSurpriseRemovalDecode) {
    sim::DeviceNode& node = system_.pnp().plug(bus_, driver_);
    ASSERT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = GetExtension(system_.io().topOfStack(node.pdo));
    const USBD_PIPE_INFORMATION& inPipe = ext->InterfaceInformation->Pipes[0];
    const USBD_PIPE_INFORMATION& outPipe = ext->InterfaceInformation->Pipes[1];

    auto* out = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag));
    auto* in = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag));
    const std::uint8_t bytes[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    std::memcpy(out, bytes, sizeof bytes);
    URB* write = bulkUrb(outPipe.PipeHandle, false, out, 8);
    URB* read = bulkUrb(inPipe.PipeHandle, true, in, 8);
    EXPECT_EQ(submit(node.pdo, *write), STATUS_SUCCESS);
    EXPECT_EQ(submit(node.pdo, *read), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(in, bytes, 8), 0);
    for (void* block : {static_cast<void*>(write), static_cast<void*>(read),
                        static_cast<void*>(out), static_cast<void*>(in)})
        ExFreePool(block);

    // What an open handle does to the IN pipe, done by hand until handles exist.
    ASSERT_TRUE(TryBindPipe(&ext->InterfaceInformation->Pipes[0]));
    InterlockedIncrement(&ext->OpenPipeCount);
    EXPECT_EQ(system_.pnp().surpriseRemove(node), STATUS_SUCCESS);
    system_.pnp().removeDevice(node);
    bus_.removeObserver(&capture_);
    EXPECT_GT(capture_.recordsWritten(), 0u);

    const auto rows = tsharkFields(file_, kFields);
    ASSERT_FALSE(rows.empty()) << "tshark read nothing";
    const std::size_t writeSubmit = findRow(rows, 0,
                                            {{Function, "0x0009"},
                                             {Direction, "0x00"},
                                             {Endpoint, "0x02"},
                                             {Transfer, "0x03"},
                                             {Length, "8"},
                                             {Data, "deadbeef01020304"}});
    ASSERT_LT(writeSubmit, rows.size());
    const std::size_t writeDone = findRow(rows, writeSubmit,
                                          {{Function, "0x0009"},
                                           {Direction, "0x01"},
                                           {Endpoint, "0x02"},
                                           {Length, "0"},
                                           {Status, "0x00000000"}});
    ASSERT_LT(writeDone, rows.size());
    const std::size_t readSubmit =
        findRow(rows, writeDone,
                {{Function, "0x0009"}, {Direction, "0x00"}, {Endpoint, "0x81"}, {Length, "0"}});
    ASSERT_LT(readSubmit, rows.size());
    const std::size_t readDone = findRow(rows, readSubmit,
                                         {{Function, "0x0009"},
                                          {Direction, "0x01"},
                                          {Endpoint, "0x81"},
                                          {Length, "8"},
                                          {Data, "deadbeef01020304"}});
    ASSERT_LT(readDone, rows.size());
    const std::size_t abort = findRow(rows, readDone,
                                      {{Function, "0x0002"},
                                       {Direction, "0x00"},
                                       {Endpoint, "0x81"},
                                       {Transfer, "0xfe"},
                                       {Length, "0"}});
    ASSERT_LT(abort, rows.size());
    EXPECT_LT(findRow(rows, abort, {{Function, "0x0002"}, {Direction, "0x01"}}), rows.size());
}

TEST(Capture, AFileThatCannotBeWrittenIsReportedNotCrashedOn) {
    PcapCapture capture("/nonexistent-folder/x.pcap");
    EXPECT_FALSE(capture.ok());
    EXPECT_FALSE(capture.error().empty());
}

} // namespace
} // namespace wdmusbsim::test
