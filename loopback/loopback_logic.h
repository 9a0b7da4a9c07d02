// The loopback device's own behaviour, apart from any bus: its descriptors, the queue that brings
// bytes written to its OUT endpoint back on its IN endpoint, and the vendor requests on its
// 256-byte memory. The simulator's device model and the test bus driver run this same code.
//
// Kernel-code rules hold here (both builds compile it): no standard library, no exceptions, no
// allocation. The owner hands in the queue's storage and serialises every call (a mutex in the
// simulator, a spin lock in the bus driver); the logic keeps no lock and never waits. A transfer
// that cannot be served yet comes back as Wait, and the owner offers it again later.
//
// What the device does:
//   - OUT: the whole transfer is queued at once, or, while the queue lacks room for it, it waits
//     (a device NAKs until IN transfers drain the queue);
//   - IN: moves what is queued, at most the transfer's length, in order; with nothing queued it
//     waits; a zero-length IN ends at once;
//   - vendor requests (anything else on the default pipe stalls):
//       - with a data stage: read (IN) or write (OUT) the memory from offset wIndex; wValue is
//         ignored; a range past the end stalls;
//       - OUT without data stage: memory[wIndex] = low byte of wValue; IN without one stalls;
//       - kRequestClearQueue (0xFE, OUT): discards the queued bytes, moves no data;
//       - kRequestStall (0xFF): always stalls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// --- Identity and descriptors (USB 2.0, 9.6) -------------------------------------------------
inline constexpr uint16_t kLoopbackVendorId = 0x1209;
inline constexpr uint16_t kLoopbackProductId = 0x0001;
inline constexpr uint16_t kLoopbackDeviceRelease = 0x0100; // bcdDevice
inline constexpr uint8_t kLoopbackInEndpoint = 0x81;
inline constexpr uint8_t kLoopbackOutEndpoint = 0x02;
inline constexpr uint16_t kLoopbackMaxPacketBytes = 512; // high-speed bulk (USB 2.0, 5.8.3)
inline constexpr uint8_t kLoopbackConfigurationValue = 1;
inline constexpr uint8_t kLoopbackInterfaceClass = 0xFF; // vendor-specific
inline constexpr size_t kLoopbackMemoryBytes = 256;
inline constexpr uint8_t kLoopbackRequestClearQueue = 0xFE;
inline constexpr uint8_t kLoopbackRequestStall = 0xFF;

// clang-format off
// Device 1209:0001, USB 2.00, vendor-specific class, 64-byte default pipe, one configuration.
inline constexpr uint8_t kLoopbackDeviceDescriptor[18] = {
    18, 0x01, 0x00, 0x02,                     // bLength, DEVICE, bcdUSB 2.00
    kLoopbackInterfaceClass, 0, 0, 64,        // class, subclass, protocol, bMaxPacketSize0
    0x09, 0x12, 0x01, 0x00, 0x00, 0x01,       // idVendor, idProduct, bcdDevice
    0, 0, 0, 1};                              // no strings, one configuration

// Configuration 1 (bus-powered, 100 mA) with one vendor-class interface holding a bulk IN
// endpoint 0x81 and then a bulk OUT endpoint 0x02, 512-byte packets.
inline constexpr uint8_t kLoopbackConfigurationDescriptor[32] = {
    9, 0x02, 32, 0, 1, kLoopbackConfigurationValue, 0, 0x80, 50,
    9, 0x04, 0, 0, 2, kLoopbackInterfaceClass, 0, 0, 0,
    7, 0x05, kLoopbackInEndpoint, 0x02, 0x00, 0x02, 0,
    7, 0x05, kLoopbackOutEndpoint, 0x02, 0x00, 0x02, 0};
// clang-format on

// --- Requests --------------------------------------------------------------------------------

// A control request on the default pipe (USB 2.0, 9.3), without wLength: the data stage's length
// is the length of the buffer handed in with it.
struct LoopbackSetup {
    uint8_t RequestType; // bmRequestType
    uint8_t Request;     // bRequest
    uint16_t Value;      // wValue
    uint16_t Index;      // wIndex
};

enum class LoopbackOutcome : uint8_t {
    Done,  // Bytes moved
    Wait,  // nothing happened; offer the transfer again later
    Stall, // the device stalled the request; nothing moved
};

struct LoopbackResult {
    LoopbackOutcome Outcome;
    size_t Bytes;
};

class LoopbackLogic {
public:
    // Storage of CapacityBytes holds the queue; it stays the owner's and must outlive the logic.
    // Empties the queue and the memory. Call it before anything else: the logic has no
    // constructor, so that it can live in memory the platform hands out zero-filled.
    void Initialize(uint8_t* Storage, size_t CapacityBytes);

    // A request on the default pipe other than the standard GET_DESCRIPTOR, which the bus answers
    // from the descriptors above. IN: fills Data (Length bytes at most); OUT: takes Data.
    LoopbackResult Control(const LoopbackSetup& Setup, uint8_t* Data, size_t Length);
    // A bulk transfer on the IN endpoint: fills Data with up to Length queued bytes.
    LoopbackResult In(uint8_t* Data, size_t Length);
    // A bulk transfer on the OUT endpoint: queues Length bytes of Data, or waits for room.
    LoopbackResult Out(const uint8_t* Data, size_t Length);

    // Queues up to Length bytes as an OUT transfer would, never waiting; returns how many fit.
    size_t Queue(const uint8_t* Data, size_t Length);
    void ClearQueue();
    size_t QueuedBytes() const { return Count; }
    size_t CapacityBytes() const { return Capacity; }
    const uint8_t* Memory() const { return MemoryBytes; }
    // Writes the memory from Offset; bytes that would land past its end are dropped.
    void WriteMemory(size_t Offset, const uint8_t* Data, size_t Length);

private:
    LoopbackResult VendorRequest(const LoopbackSetup& Setup, uint8_t* Data, size_t Length);
    void Append(const uint8_t* Data, size_t Length);

    uint8_t* Ring;
    size_t Capacity;
    size_t Head;  // index of the oldest queued byte
    size_t Count; // bytes queued
    uint8_t MemoryBytes[kLoopbackMemoryBytes];
};
