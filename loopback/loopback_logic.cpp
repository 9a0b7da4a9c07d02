// The loopback device's behaviour: the queue is a ring buffer in the owner's storage; the memory
// is part of the object.
#include "loopback/loopback_logic.h"

namespace {

constexpr uint8_t kRequestTypeMask = 0x60; // USB 2.0, table 9-2: bits 6..5
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kDirectionDeviceToHost = 0x80;

constexpr LoopbackResult Done(size_t Bytes) {
    return {LoopbackOutcome::Done, Bytes};
}
constexpr LoopbackResult Wait() {
    return {LoopbackOutcome::Wait, 0};
}
constexpr LoopbackResult Stall() {
    return {LoopbackOutcome::Stall, 0};
}

size_t Smaller(size_t Left, size_t Right) {
    return Left < Right ? Left : Right;
}

} // namespace

void LoopbackLogic::Initialize(uint8_t* Storage, size_t CapacityBytes) {
    Ring = Storage;
    Capacity = Storage != nullptr ? CapacityBytes : 0;
    Head = 0;
    Count = 0;
    __builtin_memset(MemoryBytes, 0, sizeof(MemoryBytes));
}

LoopbackResult LoopbackLogic::Control(const LoopbackSetup& Setup, uint8_t* Data, size_t Length) {
    if ((Setup.RequestType & kRequestTypeMask) != kRequestTypeVendor)
        return Stall();
    return VendorRequest(Setup, Data, Length);
}

LoopbackResult LoopbackLogic::VendorRequest(const LoopbackSetup& Setup, uint8_t* Data,
                                            size_t Length) {
    const bool in = (Setup.RequestType & kDirectionDeviceToHost) != 0;
    if (Setup.Request == kLoopbackRequestStall)
        return Stall();
    if (Setup.Request == kLoopbackRequestClearQueue && !in) {
        ClearQueue();
        return Done(0);
    }
    const size_t offset = Setup.Index;
    if (Length == 0) {
        if (in || offset >= kLoopbackMemoryBytes)
            return Stall();
        MemoryBytes[offset] = static_cast<uint8_t>(Setup.Value & 0xFF);
        return Done(0);
    }
    if (offset > kLoopbackMemoryBytes || Length > kLoopbackMemoryBytes - offset)
        return Stall();
    if (in)
        __builtin_memcpy(Data, MemoryBytes + offset, Length);
    else
        __builtin_memcpy(MemoryBytes + offset, Data, Length);
    return Done(Length);
}

LoopbackResult LoopbackLogic::In(uint8_t* Data, size_t Length) {
    if (Length == 0)
        return Done(0);
    if (Count == 0)
        return Wait();
    const size_t moved = Smaller(Length, Count);
    const size_t first = Smaller(moved, Capacity - Head); // up to the end of the ring
    __builtin_memcpy(Data, Ring + Head, first);
    __builtin_memcpy(Data + first, Ring, moved - first);
    Head = (Head + moved) % Capacity;
    Count -= moved;
    return Done(moved);
}

LoopbackResult LoopbackLogic::Out(const uint8_t* Data, size_t Length) {
    if (Capacity - Count < Length)
        return Wait(); // full: the device NAKs until IN transfers drain it
    Append(Data, Length);
    return Done(Length);
}

size_t LoopbackLogic::Queue(const uint8_t* Data, size_t Length) {
    const size_t fits = Smaller(Length, Capacity - Count);
    Append(Data, fits);
    return fits;
}

void LoopbackLogic::Append(const uint8_t* Data, size_t Length) {
    if (Length == 0)
        return;
    const size_t tail = (Head + Count) % Capacity;
    const size_t first = Smaller(Length, Capacity - tail);
    __builtin_memcpy(Ring + tail, Data, first);
    __builtin_memcpy(Ring, Data + first, Length - first);
    Count += Length;
}

void LoopbackLogic::ClearQueue() {
    Head = 0;
    Count = 0;
}

void LoopbackLogic::WriteMemory(size_t Offset, const uint8_t* Data, size_t Length) {
    for (size_t i = 0; i < Length && Offset + i < kLoopbackMemoryBytes; ++i)
        MemoryBytes[Offset + i] = Data[i];
}
