// The application library's own logic against a small driver of the wdmusb interface class whose
// answers each test picks: the time-out that cancels a request and waits for it, a request the
// driver keeps after its cancel, a cancel from another thread, the check of a success that moved
// nothing, an open the driver refused, the bytes of a request broken part-way, and the words of
// its errors.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/sim/app/app_fixture.h"
// After the platform's declarations, which the fixture brings.
#include "public/wdmusb.h"
#include "public/wdmusb_api.h"

namespace wdmusb::test {
namespace {

constexpr char kPartial[] = "12345";

// A read the driver ends when it is cancelled, as a cancelled transfer that moved 5 bytes.
void NTAPI cancelPartialRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), kPartial, 5);
    ApplicationTest::complete(irp, STATUS_CANCELLED, 5);
}

class LibraryTest : public ApplicationTest {
protected:
    // A device of the driver's class whose reads and writes go to `requests`; a read of no
    // bytes (the library asking whether the driver knows the handle) gets handleStatus_.
    void makeDevice(IrpHandler requests) {
        ApplicationTest::makeDevice(
            [this, requests](PDEVICE_OBJECT device, PIRP irp) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                if (stack->MajorFunction == IRP_MJ_READ && stack->Parameters.Read.Length == 0)
                    return complete(irp, handleStatus_.load());
                return requests(device, irp);
            },
            DO_DIRECT_IO, true, GUID_DEVINTERFACE_WDMUSB);
    }

    // Reads wait with a cancel routine (cancelPartialRead); writes succeed at once.
    static IrpHandler cancellableReads() {
        return [](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE)
                return complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(irp->MdlAddress));
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, cancelPartialRead);
            return STATUS_PENDING;
        };
    }

    // Reads held without a cancel routine (completeHeld ends them); writes succeed at once.
    IrpHandler heldReads() {
        return [this, hold = holdRequests()](PDEVICE_OBJECT device, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE)
                return complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(irp->MdlAddress));
            return hold(device, irp);
        };
    }

    WdmusbDevice* open() {
        WdmusbDevice* device = nullptr;
        EXPECT_EQ(WdmusbOpen(0, &device), DWORD{ERROR_SUCCESS});
        return device;
    }

    std::atomic<NTSTATUS> handleStatus_{STATUS_SUCCESS};
    char buffer_[16] = {};
    uint32_t moved_ = 0;
};

TEST_F(LibraryTest, ATimedOutRequestIsCancelledWaitedForAndReportsWhatItMoved) {
    makeDevice(cancellableReads());
    WdmusbDevice* device = open();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, 50, &moved_), DWORD{ERROR_SEM_TIMEOUT});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "the cancelled request ended at once: nothing more to wait for";
    EXPECT_EQ(moved_, 5u);
    EXPECT_STREQ(buffer_, kPartial);
    EXPECT_EQ(WdmusbWrite(device, "next", 4, 50, &moved_), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(moved_, 4u);
    WdmusbClose(device);
}

// A driver that gives a read up only when the device answers: the call returns after the grace
// time, the device refuses requests until the read ends, and a close then leaves the record to
// the system until it does.
TEST_F(LibraryTest, ACancelledRequestTheDriverKeepsHoldsTheDeviceUntilItEnds) {
    makeDevice(heldReads());
    WdmusbDevice* device = open();
    EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, 10, &moved_), DWORD{ERROR_IO_INCOMPLETE});
    const std::size_t sent = arrivals().size();
    EXPECT_EQ(WdmusbWrite(device, "x", 1, 50, &moved_), DWORD{ERROR_BUSY});
    EXPECT_EQ(arrivals().size(), sent) << "refused by the library, nothing sent";
    completeHeld(STATUS_SUCCESS, 3);
    EXPECT_EQ(WdmusbWrite(device, "x", 1, 50, &moved_), DWORD{ERROR_SUCCESS});

    EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, 10, &moved_), DWORD{ERROR_IO_INCOMPLETE});
    WdmusbClose(device);
    const auto seen = majors();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MJ_CLOSE), 0)
        << "the close waits for the request";
    completeHeld(STATUS_SUCCESS, 0);
    EXPECT_TRUE(waitFor(IRP_MJ_CLOSE, 1));
    WdmusbClose(open()); // frees the record left behind
}

TEST_F(LibraryTest, ACancelFromAnotherThreadEndsTheRequestAndRefusesTheNextUntilResumed) {
    makeDevice(cancellableReads());
    WdmusbDevice* device = open();
    std::thread canceller([device] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        WdmusbCancel(device);
    });
    EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, WDMUSB_NO_TIMEOUT, &moved_),
              DWORD{ERROR_OPERATION_ABORTED});
    canceller.join();
    EXPECT_EQ(moved_, 5u);
    const std::size_t sent = arrivals().size();
    EXPECT_EQ(WdmusbWrite(device, "x", 1, 50, &moved_), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(arrivals().size(), sent) << "refused by the library, nothing sent";
    WdmusbResume(device);
    EXPECT_EQ(WdmusbWrite(device, "x", 1, 50, &moved_), DWORD{ERROR_SUCCESS});
    WdmusbClose(device);
}

// Success with nothing moved is also how the driver ends a request cut short: the handle's state
// decides what the caller hears.
TEST_F(LibraryTest, ASuccessThatMovedNothingIsCheckedAgainstTheHandlesState) {
    const struct {
        NTSTATUS handle;
        DWORD error;
    } cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},               // the device sent nothing
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},  // stopping or being removed
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE}, // restarted under the handle
    };
    makeDevice([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); });
    WdmusbDevice* device = open();
    for (const auto& c : cases) {
        handleStatus_ = c.handle;
        EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, 50, &moved_), c.error) << c.handle;
        EXPECT_EQ(moved_, 0u);
    }
    WdmusbClose(device);
}

// Wine hands out a handle although the driver failed the create: the open asks the driver.
TEST_F(LibraryTest, AnOpenTheDriverDoesNotKnowFailsAndClosesTheHandle) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); });
    handleStatus_ = STATUS_INVALID_HANDLE;
    WdmusbDevice* device = reinterpret_cast<WdmusbDevice*>(1);
    EXPECT_EQ(WdmusbOpen(0, &device), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

// The driver fails a transfer broken part-way in its completion, with the count of what came
// before the break: only the OVERLAPPED record has it.
TEST_F(LibraryTest, ATransferBrokenPartWayReportsTheBytesBeforeTheBreak) {
    makeDevice([hold = holdRequests()](PDEVICE_OBJECT device, PIRP irp) {
        std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), kPartial, 5);
        return hold(device, irp);
    });
    WdmusbDevice* device = open();
    std::thread completion([this] {
        for (int i = 0; i < 5000 && heldCount() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        completeHeld(STATUS_DEVICE_DATA_ERROR, 5);
    });
    EXPECT_EQ(WdmusbRead(device, buffer_, sizeof buffer_, 5000, &moved_), DWORD{ERROR_CRC});
    completion.join();
    EXPECT_EQ(moved_, 5u);
    EXPECT_STREQ(buffer_, kPartial);
    const std::size_t sent = arrivals().size();
    EXPECT_EQ(WdmusbWrite(device, buffer_, WDMUSB_MAXIMUM_REQUEST_BYTES + 1, 50, &moved_),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(arrivals().size(), sent) << "longer than the driver takes: nothing sent";
    WdmusbClose(device);
}

TEST_F(LibraryTest, DevicesAreFoundByNumberAndOpenedByTheirPath) {
    makeDevice([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); });
    makeDevice([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); });
    uint32_t required = 0;
    EXPECT_EQ(WdmusbGetDevicePath(1, nullptr, 0, &required), DWORD{ERROR_INSUFFICIENT_BUFFER});
    std::string path(required, '\0');
    EXPECT_EQ(WdmusbGetDevicePath(1, path.data(), required - 1, nullptr),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    ASSERT_EQ(WdmusbGetDevicePath(1, path.data(), required, nullptr), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(path.rfind("\\\\?\\ROOT#SIMULATED#", 0), 0u);
    EXPECT_EQ(path.back(), '\0');
    EXPECT_EQ(WdmusbGetDevicePath(2, nullptr, 0, &required), DWORD{ERROR_NO_MORE_ITEMS});

    WdmusbDevice* device = nullptr;
    EXPECT_EQ(WdmusbOpen(2, &device), DWORD{ERROR_FILE_NOT_FOUND});
    ASSERT_EQ(WdmusbOpenPath(path.c_str(), &device), DWORD{ERROR_SUCCESS});
    EXPECT_STREQ(WdmusbDevicePath(device), path.c_str());
    WdmusbClose(device);
    EXPECT_EQ(WdmusbOpenPath("\\\\?\\ROOT#NOTHING#0", &device), DWORD{ERROR_FILE_NOT_FOUND});
}

// The words depend on the call as well as the error; an error the library has no words for
// still gets some, and no name.
TEST(LibraryErrors, EachErrorHasWordsForTheCallThatReturnedIt) {
    const struct {
        WdmusbCall call;
        uint32_t error;
        const char* words;
    } cases[] = {
        {WdmusbCallOpen, ERROR_NO_SYSTEM_RESOURCES, "in use by another handle"},
        {WdmusbCallVendor, ERROR_NO_SYSTEM_RESOURCES, "could not lock or map the data stage"},
        {WdmusbCallRead, ERROR_NO_SYSTEM_RESOURCES, "the system ran out of resources"},
        {WdmusbCallOpen, ERROR_INVALID_HANDLE, "the driver refused the open"},
        {WdmusbCallWrite, ERROR_INVALID_HANDLE, "restarted since it was opened"},
        {WdmusbCallRead, ERROR_SEM_TIMEOUT, "the request was cancelled"},
        {WdmusbCallVendor, ERROR_SEM_TIMEOUT, "did not answer within 5 seconds"},
        {WdmusbCallReset, ERROR_SEM_TIMEOUT, "did not answer in time"},
        {WdmusbCallAny, ERROR_IO_INCOMPLETE, "the driver has not ended it"},
        {WdmusbCallAny, 12345, "the library does not know"},
    };
    for (const auto& c : cases)
        EXPECT_NE(std::string(WdmusbErrorMessage(c.call, c.error)).find(c.words), std::string::npos)
            << c.call << " " << c.error << ": " << WdmusbErrorMessage(c.call, c.error);
    EXPECT_STREQ(WdmusbErrorName(ERROR_IO_INCOMPLETE), "ERROR_IO_INCOMPLETE");
    EXPECT_EQ(WdmusbErrorName(12345), nullptr);
}

} // namespace
} // namespace wdmusb::test
