// How the bus driver's PDO answers the set-power and query-power IRPs that reach it. By default
// each succeeds at once; a test scripts other answers:
//
//     device.powerAnswers().add(PowerAnswer::setDevice(PowerDeviceD0).failWith(STATUS_IO_TIMEOUT));
//     device.powerAnswers().add(PowerAnswer::setDevice().later());   // completed from the
//                                                                    // controller's thread
//     device.powerAnswers().add(PowerAnswer::setDevice(PowerDeviceD2).held()); // until
//     device.releasePower();                                         // the test lets it go
//     device.powerAnswers().add(PowerAnswer::querySystem(PowerSystemSleeping3)
//                                   .failWith(STATUS_UNSUCCESSFUL));  // a veto
//
// An answer applies to the next matching IRP (`times` of them; always() for every one); the
// oldest matching answer is used first.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim::usb {

enum class PowerReply {
    Now,   // completed inside the dispatch routine
    Later, // pended, then completed from the host controller's thread at DISPATCH_LEVEL
    Held,  // pended until BusDevice::releasePower
};

struct PowerAnswer {
    UCHAR minor = IRP_MN_SET_POWER;
    POWER_STATE_TYPE type = DevicePowerState;
    std::optional<ULONG> state; // the device or system state the IRP asks for; any when empty
    NTSTATUS status = STATUS_SUCCESS;
    PowerReply reply = PowerReply::Now;
    unsigned times = 1; // 0: every matching IRP

    static PowerAnswer setDevice(std::optional<DEVICE_POWER_STATE> state = std::nullopt);
    static PowerAnswer setSystem(std::optional<SYSTEM_POWER_STATE> state = std::nullopt);
    static PowerAnswer querySystem(std::optional<SYSTEM_POWER_STATE> state = std::nullopt);

    PowerAnswer& failWith(NTSTATUS irpStatus) {
        status = irpStatus;
        return *this;
    }
    PowerAnswer& later() {
        reply = PowerReply::Later;
        return *this;
    }
    PowerAnswer& held() {
        reply = PowerReply::Held;
        return *this;
    }
    PowerAnswer& always() {
        times = 0;
        return *this;
    }

    bool matches(UCHAR irpMinor, POWER_STATE_TYPE irpType, ULONG irpState) const;
};

class PowerAnswers {
public:
    void add(const PowerAnswer& answer);
    void clear();
    // The answer for an IRP, used up by this call; the default (success, now) when none matches.
    PowerAnswer take(UCHAR minor, POWER_STATE_TYPE type, ULONG state);

private:
    std::mutex mutex_; // guards answers_
    std::vector<PowerAnswer> answers_;
};

} // namespace sim::usb
