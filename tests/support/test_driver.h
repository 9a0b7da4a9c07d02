// A small driver for tests: each device object it creates answers IRPs with a handler the test
// gives, and a helper sends an IRP the way the platform's managers do and waits for its end.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/io/io_manager.h"

namespace wdmusb::test {

using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver {
public:
    TestDriver();
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    // A device whose every major function runs `handler`; attached on top of `below` if given.
    PDEVICE_OBJECT createDevice(IrpHandler handler, PDEVICE_OBJECT below = nullptr);
    PDRIVER_OBJECT object() const { return driver_; }

private:
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<IrpHandler>> handlers_;
    std::vector<PDEVICE_OBJECT> devices_;
};

// What a lower device saw of one IRP when it arrived.
struct SeenIrp {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    UCHAR control = 0; // of the stack location it was given
    PVOID argument1 = nullptr;
};

// A handler that records each IRP and completes it with `status` (keeping the IRP's own status
// when `status` is STATUS_PENDING... never: pass keepStatus to complete with what arrived).
IrpHandler recordAndComplete(std::vector<SeenIrp>& seen, NTSTATUS status, bool keepStatus = false);

// Sends an IRP with one stack location per device in the target's stack, as the I/O manager does
// for a request it owns; waits until it has been completed to the top and returns its final
// status block. `prepare` fills the first stack location.
IO_STATUS_BLOCK sendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare = {},
                            NTSTATUS* dispatchStatus = nullptr);

} // namespace wdmusb::test
