#include "sim/util/irp_names.h"

#include "sim/util/code_table.h"

namespace sim {

namespace {

constexpr auto kMajors = makeCodeTable<UCHAR>(
    NAMED_CODE(IRP_MJ_CREATE), NAMED_CODE(IRP_MJ_CREATE_NAMED_PIPE), NAMED_CODE(IRP_MJ_CLOSE),
    NAMED_CODE(IRP_MJ_READ), NAMED_CODE(IRP_MJ_WRITE), NAMED_CODE(IRP_MJ_DEVICE_CONTROL),
    NAMED_CODE(IRP_MJ_INTERNAL_DEVICE_CONTROL), NAMED_CODE(IRP_MJ_SHUTDOWN),
    NAMED_CODE(IRP_MJ_CLEANUP), NAMED_CODE(IRP_MJ_POWER), NAMED_CODE(IRP_MJ_SYSTEM_CONTROL),
    NAMED_CODE(IRP_MJ_PNP));

constexpr auto kPnpMinors = makeCodeTable<UCHAR>(
    NAMED_CODE(IRP_MN_START_DEVICE), NAMED_CODE(IRP_MN_QUERY_REMOVE_DEVICE),
    NAMED_CODE(IRP_MN_REMOVE_DEVICE), NAMED_CODE(IRP_MN_CANCEL_REMOVE_DEVICE),
    NAMED_CODE(IRP_MN_STOP_DEVICE), NAMED_CODE(IRP_MN_QUERY_STOP_DEVICE),
    NAMED_CODE(IRP_MN_CANCEL_STOP_DEVICE), NAMED_CODE(IRP_MN_QUERY_DEVICE_RELATIONS),
    NAMED_CODE(IRP_MN_QUERY_INTERFACE), NAMED_CODE(IRP_MN_QUERY_CAPABILITIES),
    NAMED_CODE(IRP_MN_QUERY_RESOURCES), NAMED_CODE(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
    NAMED_CODE(IRP_MN_QUERY_DEVICE_TEXT), NAMED_CODE(IRP_MN_FILTER_RESOURCE_REQUIREMENTS),
    NAMED_CODE(IRP_MN_QUERY_ID), NAMED_CODE(IRP_MN_QUERY_PNP_DEVICE_STATE),
    NAMED_CODE(IRP_MN_QUERY_BUS_INFORMATION), NAMED_CODE(IRP_MN_DEVICE_USAGE_NOTIFICATION),
    NAMED_CODE(IRP_MN_SURPRISE_REMOVAL));

constexpr auto kPowerMinors =
    makeCodeTable<UCHAR>(NAMED_CODE(IRP_MN_WAIT_WAKE), NAMED_CODE(IRP_MN_POWER_SEQUENCE),
                         NAMED_CODE(IRP_MN_SET_POWER), NAMED_CODE(IRP_MN_QUERY_POWER));

constexpr auto kControlCodes = makeCodeTable<ULONG>(NAMED_CODE(IOCTL_INTERNAL_USB_SUBMIT_URB),
                                                    NAMED_CODE(IOCTL_INTERNAL_USB_RESET_PORT),
                                                    NAMED_CODE(IOCTL_INTERNAL_USB_GET_PORT_STATUS));

} // namespace

std::string majorName(UCHAR major) {
    if (auto name = kMajors.name(major))
        return std::string(*name);
    return hexCode(major, 2, "IRP_MJ_0x");
}

std::string minorName(UCHAR major, UCHAR minor) {
    std::optional<std::string_view> name;
    if (major == IRP_MJ_PNP)
        name = kPnpMinors.name(minor);
    else if (major == IRP_MJ_POWER)
        name = kPowerMinors.name(minor);
    else
        return {};
    return name ? std::string(*name) : hexCode(minor, 2, "IRP_MN_0x");
}

std::string controlCodeName(ULONG code) {
    if (auto name = kControlCodes.name(code))
        return std::string(*name);
    return hexCode(code);
}

} // namespace sim
