// IoRegisterDeviceInterface and IoSetDeviceInterfaceState, as the driver calls them: both are for
// PASSIVE_LEVEL; registering allocates (the link name) and enabling may fail on the platform, so
// both can be made to fail.
#include <string>

#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/sync/dispatcher.h"

namespace {

void checkPassive(const char* routine, const SimCallSite& caller) {
    if (sim::currentIrql() != PASSIVE_LEVEL)
        sim::current().verifier().report(sim::Rule::IrqlMisuse,
                                         std::string(routine) + " called at IRQL " +
                                             std::to_string(sim::currentIrql()) +
                                             " (PASSIVE_LEVEL only)",
                                         caller);
}

} // namespace

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName, SimCallSite Caller) {
    checkPassive("IoRegisterDeviceInterface", Caller);
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto& system = sim::current();
    if (system.faults().shouldFail(sim::AllocKind::InterfaceRegistration, Caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    return system.pnp().interfaces().registerInterface(PhysicalDeviceObject, *InterfaceClassGuid,
                                                       ReferenceString, *SymbolicLinkName, Caller);
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable,
                                         SimCallSite Caller) {
    checkPassive("IoSetDeviceInterfaceState", Caller);
    if (SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto& system = sim::current();
    if (Enable != FALSE && system.faults().shouldFail(sim::AllocKind::InterfaceEnabling, Caller))
        return STATUS_INSUFFICIENT_RESOURCES;
    return system.pnp().interfaces().setState(*SymbolicLinkName, Enable != FALSE);
}
