// The I/O manager: IRPs, driver and device objects, and the rules of passing IRPs between them.
//
// IRPs live in host memory laid out as on the platform (the IRP followed by its stack locations).
// The manager keeps a record of each one outside that memory: who allocated it, where, its state
// and a short history, so a finding can name the IRP and how it got there even after it is freed.
// Freed IRPs and deleted device objects are kept poisoned in a bounded quarantine, so later use is
// caught and named; the oldest leave it as new ones come, so a machine that re-plugs devices in a
// loop holds a bounded number of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/io/irp_observer.h"

namespace sim {

// The cancel routine is swapped atomically by IoSetCancelRoutine on other threads; the verifier's
// look at it must be atomic too.
inline bool cancelRoutineSet(PIRP irp) {
    return std::atomic_ref<PVOID>(*reinterpret_cast<PVOID*>(&irp->CancelRoutine)).load() != nullptr;
}

// Who allocated an IRP, which decides who frees it and what happens at the top of completion.
enum class IrpOrigin {
    Driver,        // IoAllocateIrp: the allocating driver reclaims it and calls IoFreeIrp
    DeviceControl, // IoBuildDeviceIoControlRequest: the I/O manager completes and frees it
    Application,   // a request of the application model: the I/O manager completes and frees it
    Power,         // PoRequestPowerIrp: the power manager completes and frees it
    Pnp,           // a Plug and Play request of the simulated Plug and Play manager
};

// What a top-level completion does for an IRP the I/O manager owns; called at the end of the last
// completion pass, before the IRP is freed.
using TopCompletion = std::function<void(PIRP)>;

// One line of an IRP's history, kept as it happened and worded only when a finding prints it
// (most IRPs end without any finding, and wording every step was the simulator's dearest cost).
struct IrpHistoryEntry {
    enum class Kind { Allocated, Sent, Completed, Freed, Note };
    Kind kind = Kind::Note;
    SimCallSite site{}; // where it happened (the platform's call sites are static strings)
    UCHAR major = 0;    // Sent: what the IRP carried
    UCHAR minor = 0;
    NTSTATUS status = 0; // Completed: the status it was completed with
    std::string text;    // Sent: the target device's name; Note: the whole line
};
std::string describe(const IrpHistoryEntry& entry);

struct IrpLocationRecord {
    bool passed = false;        // the completion pass has left this location
    bool pendingMarked = false; // SL_PENDING_RETURNED was set when it left
    NTSTATUS statusWhenLeft = 0;
    bool dispatchReturned = false;   // the dispatch routine at this location has returned ...
    NTSTATUS dispatchStatus = 0;     // ... this status
    SimCallSite dispatchCaller{};    // where the IRP was sent to that dispatch routine
    PDEVICE_OBJECT device = nullptr; // the device it was sent to at this location
    UCHAR major = 0;                 // and what it carried there
    UCHAR minor = 0;
    bool startedNextPower = false; // PoStartNextPowerIrp was called for the IRP at this location
    bool passedOn = false;     // the driver here passed the IRP on (or PoCallDriver took it) ...
    bool routineBelow = false; // ... with a completion routine of its own set for it
};

struct IrpRecord {
    std::uint64_t id = 0;
    IrpOrigin origin = IrpOrigin::Driver;
    SimCallSite allocatedAt{};
    std::unique_ptr<std::byte[]> memory; // the IRP and its stack locations
    std::size_t size = 0;
    std::uint64_t pass = 0;  // completion passes started; a newer pass owns the IRP
    bool completing = false; // a completion pass runs
    // The pass is inside a completion routine: the IRP may already be its owner's again (the
    // routine set an event and is about to return STATUS_MORE_PROCESSING_REQUIRED), so a new
    // completion may begin; the old pass then leaves the IRP alone.
    bool inRoutine = false;
    bool finished = false; // completed to the top and handed back to its owner
    bool freed = false;
    bool sent = false; // sent to a driver at least once
    // Sent, and no completion routine has had it back since: a lower driver holds it.
    bool atLowerDriver = false;
    std::vector<std::byte> systemBuffer;      // buffered device control, owned by the I/O manager
    std::vector<IrpLocationRecord> locations; // index: stack location number (1..StackCount)
    std::vector<IrpHistoryEntry> history;     // the latest kHistoryLines, oldest first

    static constexpr std::size_t kHistoryLines = 32;
    // Enough for an IRP sent down a stack and completed, without growing the vector on the way.
    static constexpr std::size_t kHistoryReserved = 8;
    void remember(IrpHistoryEntry entry) {
        if (history.size() >= kHistoryLines)
            history.erase(history.begin());
        history.push_back(std::move(entry));
    }
    TopCompletion onTop;
};

// The simulator's record of a device object, kept behind DeviceObjectExtension.
struct DeviceRecord {
    std::uint64_t id = 0;
    std::string name;
    SimCallSite createdAt{};
    PDEVICE_OBJECT attachedTo = nullptr; // the device directly below, set by attach
    bool deleted = false;
    bool released = false;        // deleted, and its memory poisoned: nothing of it may be read
    bool surpriseRemoved = false; // set by the Plug and Play manager
    long openHandles = 0;
    std::unique_ptr<std::byte[]> memory; // the device object and its extension
    std::size_t size = 0;
};

class IoManager {
public:
    IoManager();
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // --- driver objects -------------------------------------------------------------------
    // Creates a driver object whose major functions all hold the default handler, then calls
    // its entry routine; returns the entry's status through *status.
    PDRIVER_OBJECT loadDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status);
    // Calls the unload routine, if any, and reports device objects the driver left behind.
    void unloadDriver(PDRIVER_OBJECT driver);

    // --- IRPs -------------------------------------------------------------------------------
    PIRP allocateIrp(CCHAR stackSize, IrpOrigin origin, const SimCallSite& site);
    void freeIrp(PIRP irp, const SimCallSite& site);
    NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver,
                        const SimCallSite& site);
    void completeRequest(PIRP irp, const SimCallSite& site);
    BOOLEAN cancelIrp(PIRP irp, const SimCallSite& site);
    // IoCancelIrp on the IRP numbered `id` if it has not been completed to its top yet; FALSE
    // otherwise. For cancelling on behalf of an application, which may race the completion.
    BOOLEAN cancelIfInFlight(PIRP irp, std::uint64_t id, const SimCallSite& site);
    void setTopCompletion(PIRP irp, TopCompletion onTop);
    // True when irp is a live IRP; otherwise reports IrpUsedAfterFree naming the operation.
    bool checkLive(PIRP irp, const char* operation, const SimCallSite& site);
    // "IRP #12 (allocated by the driver at usb/x.cpp:40 (F)) ...": for findings.
    std::string describeIrp(PIRP irp);
    KSPIN_LOCK* cancelSpinLock() { return &cancelLock_; }
    std::size_t liveIrpCount();
    // Adds a line to the IRP's history, which every finding about it prints.
    void note(PIRP irp, std::string what);
    // PoStartNextPowerIrp for the IRP at its current location: records it there; false when it
    // was recorded already.
    bool markStartedNextPower(PIRP irp);
    // Whether PoStartNextPowerIrp was called for the IRP at its current location.
    bool startedNextPower(PIRP irp);
    // The driver at the IRP's current location has passed it on with PoCallDriver; the power
    // manager delivers it later. Called on the passing driver's thread.
    void noteHandedOn(PIRP irp);

    // --- device objects ----------------------------------------------------------------------
    NTSTATUS createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                          DEVICE_TYPE type, ULONG characteristics, PDEVICE_OBJECT* out,
                          const SimCallSite& site);
    void deleteDevice(PDEVICE_OBJECT device, const SimCallSite& site);
    PDEVICE_OBJECT attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target, const SimCallSite& site);
    void detach(PDEVICE_OBJECT target, const SimCallSite& site);
    DeviceRecord* record(PDEVICE_OBJECT device);
    std::string describeDevice(PDEVICE_OBJECT device);
    // The top of the stack the device belongs to.
    PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device);
    // Handles keep a deleted device object and its extension alive until the last is closed.
    void referenceDevice(PDEVICE_OBJECT device);
    void dereferenceDevice(PDEVICE_OBJECT device);
    // Handles open on the device objects of the stack that `device` belongs to (from its bottom
    // up).
    long openHandlesOnStack(PDEVICE_OBJECT device);
    // Set by the Plug and Play manager between surprise removal and removal.
    void setSurpriseRemoved(PDEVICE_OBJECT device, bool on);
    // Device objects the manager has a record of: live ones and those in the quarantine.
    std::size_t deviceRecordCount();
    // Deleted device objects whose memory is kept (poisoned) so that a late use is named.
    static constexpr std::size_t kQuarantinedDevices = 256;
    // Called with a deleted device object as it leaves the quarantine, before its memory is given
    // back (so the address cannot be handed out again yet): whoever keeps records by the address
    // drops them. Called without the manager's lock. Returns an id for removeForgetHook.
    std::uint64_t addForgetHook(std::function<void(PDEVICE_OBJECT)> hook);
    void removeForgetHook(std::uint64_t id);

    // Reports driver IRPs still allocated; used by System::checkLeaks.
    void reportLeaks();

    // --- observation ---------------------------------------------------------------------------
    // One observer (a trace) sees every IRP event; null detaches it.
    void setObserver(IrpObserver* observer) { observer_.store(observer); }
    // The I/O manager's number of an IRP ("IRP #12"), live or quarantined; 0 when unknown.
    std::uint64_t irpId(PIRP irp);

    // The handler of every major function a driver leaves empty.
    static NTSTATUS NTAPI defaultDispatch(PDEVICE_OBJECT device, PIRP irp);

private:
    // What a completion pass carries from step to step: its number, the event that began it, and
    // the completion routine the climb stopped at.
    struct CompletionPass {
        std::uint64_t number = 0;
        IrpEvent completed;
        PIO_COMPLETION_ROUTINE routine = nullptr;
        PVOID context = nullptr;
    };

    // The steps of callDriver.
    NTSTATUS admitCall(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site); // mutex_ held
    NTSTATUS checkPassingOn(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver,
                            const SimCallSite& site); // mutex_ held
    IrpEvent enterNextLocation(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site); // held
    NTSTATUS runDispatch(PDEVICE_OBJECT device, PIRP irp, const IrpEvent& sent);
    void noteDispatchReturned(PIRP irp, const IrpEvent& sent, NTSTATUS status); // mutex_ held
    // The steps of completeRequest.
    bool admitCompletion(PIRP irp, const SimCallSite& site);                 // mutex_ held
    bool beginPass(PIRP irp, const SimCallSite& site, CompletionPass& pass); // mutex_ held
    void checkCompletingContext(PIRP irp, const SimCallSite& site);
    static void stepUp(PIRP irp);
    bool climbToRoutine(PIRP irp, CompletionPass& pass, bool routineRan, const SimCallSite& site);
    bool leaveLocation(PIRP irp, IrpRecord& rec, CompletionPass& pass); // mutex_ held
    NTSTATUS callRoutine(PIRP irp, const CompletionPass& pass, const SimCallSite& site);
    void giveBack(PIRP irp, const CompletionPass& pass);

    bool liveLocked(PIRP irp, const char* operation, const SimCallSite& site); // mutex_ held
    DeviceRecord* findDevice(PDEVICE_OBJECT device);                           // mutex_ held
    IrpRecord* findRecord(PIRP irp);                                           // mutex_ held
    IrpRecord* findRecord(PIRP irp, std::uint64_t id);                         // mutex_ held
    void notePassedOn(IrpRecord& record, PIRP irp, int location);              // mutex_ held
    void notify(const IrpEvent& event) const;
    void finishAtTop(PIRP irp, IrpRecord& record, const SimCallSite& site);
    void releaseIrp(PIRP irp, IrpRecord& record);                        // mutex_ held
    void checkDispatchReturn(PIRP irp, IrpRecord& record, int location); // mutex_ held
    // Poisons a deleted device object and quarantines it; returns the record that leaves the
    // quarantine for it, if one does. mutex_ held.
    std::unique_ptr<DeviceRecord> releaseDeviceMemory(PDEVICE_OBJECT device);
    // Tells the forget hooks about a record that left the quarantine, then frees it. Called
    // without mutex_.
    void forget(std::unique_ptr<DeviceRecord> gone);
    void checkNoIrpInDevice(PDEVICE_OBJECT device, const SimCallSite& site); // mutex_ held

    struct DriverMemory {
        DRIVER_OBJECT object{};
        DRIVER_EXTENSION extension{};
    };
    std::vector<std::unique_ptr<DriverMemory>> driverMemory_;

    std::recursive_mutex mutex_;
    std::uint64_t nextIrpId_ = 1;
    std::uint64_t nextDeviceId_ = 1;
    std::map<PIRP, std::unique_ptr<IrpRecord>> irps_;
    std::deque<std::pair<PIRP, std::unique_ptr<IrpRecord>>> freedIrps_; // quarantine
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices_;
    std::deque<PDEVICE_OBJECT> deletedDevices_; // quarantine, oldest first
    std::map<std::uint64_t, std::function<void(PDEVICE_OBJECT)>> forgetHooks_;
    std::uint64_t nextHookId_ = 1;
    KSPIN_LOCK cancelLock_ = 0;
    std::atomic<IrpObserver*> observer_{nullptr};
};

} // namespace sim
