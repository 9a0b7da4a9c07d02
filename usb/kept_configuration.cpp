#include "usb/kept_configuration.h"
#include "driver/counted_block.h"

namespace {

// ConfigurationLock held for the extent of a scope; nothing in it frees, waits or calls out.
class ConfigurationLockHeld {
public:
    explicit ConfigurationLockHeld(PDEVICE_EXTENSION Ext)
        : Lock_(&Ext->ConfigurationLock), OldIrql_(KfAcquireSpinLock(Lock_)) {}
    ~ConfigurationLockHeld() { KfReleaseSpinLock(Lock_, OldIrql_); }
    ConfigurationLockHeld(const ConfigurationLockHeld&) = delete;
    ConfigurationLockHeld& operator=(const ConfigurationLockHeld&) = delete;

private:
    PKSPIN_LOCK Lock_;
    KIRQL OldIrql_;
};

template <typename T> void Publish(PDEVICE_OBJECT Fdo, T*& Field, T* Block) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    T* earlier;
    {
        ConfigurationLockHeld held(ext);
        earlier = Field;
        WriteShared(Field, Block);
    }
    if (earlier != nullptr)
        ReleaseCountedBlock(earlier);
}

template <typename T> T* Borrow(PDEVICE_OBJECT Fdo, T* const& Field) {
    ConfigurationLockHeld held(GetExtension(Fdo));
    T* block = Field;
    if (block != nullptr)
        ReferenceCountedBlock(block);
    return block;
}

} // namespace

void PublishConfigurationDescriptor(PDEVICE_OBJECT Fdo, PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
    Publish(Fdo, GetExtension(Fdo)->ConfigurationDescriptor, Descriptor);
}

void PublishInterfaceCopy(PDEVICE_OBJECT Fdo, PUSBD_INTERFACE_INFORMATION Copy) {
    Publish(Fdo, GetExtension(Fdo)->InterfaceInformation, Copy);
}

PUSB_CONFIGURATION_DESCRIPTOR BorrowConfigurationDescriptor(PDEVICE_OBJECT Fdo) {
    return Borrow(Fdo, GetExtension(Fdo)->ConfigurationDescriptor);
}

PUSBD_INTERFACE_INFORMATION BorrowInterfaceCopy(PDEVICE_OBJECT Fdo) {
    return Borrow(Fdo, GetExtension(Fdo)->InterfaceInformation);
}

BOOLEAN IsCurrentInterfaceCopy(PDEVICE_OBJECT Fdo, const USBD_INTERFACE_INFORMATION* Copy) {
    return ReadShared(GetExtension(Fdo)->InterfaceInformation) == Copy;
}
