#include "sim/usb/power_answers.h"

namespace sim::usb {

PowerAnswer PowerAnswer::setDevice(std::optional<DEVICE_POWER_STATE> state) {
    PowerAnswer answer;
    if (state)
        answer.state = *state;
    return answer;
}

PowerAnswer PowerAnswer::setSystem(std::optional<SYSTEM_POWER_STATE> state) {
    PowerAnswer answer;
    answer.type = SystemPowerState;
    if (state)
        answer.state = *state;
    return answer;
}

PowerAnswer PowerAnswer::querySystem(std::optional<SYSTEM_POWER_STATE> state) {
    PowerAnswer answer = setSystem(state);
    answer.minor = IRP_MN_QUERY_POWER;
    return answer;
}

bool PowerAnswer::matches(UCHAR irpMinor, POWER_STATE_TYPE irpType, ULONG irpState) const {
    return minor == irpMinor && type == irpType && (!state || *state == irpState);
}

void PowerAnswers::add(const PowerAnswer& answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

void PowerAnswers::clear() {
    std::lock_guard lock(mutex_);
    answers_.clear();
}

PowerAnswer PowerAnswers::take(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    std::lock_guard lock(mutex_);
    for (auto it = answers_.begin(); it != answers_.end(); ++it) {
        if (!it->matches(minor, type, state))
            continue;
        PowerAnswer answer = *it;
        if (it->times > 1)
            --it->times;
        else if (it->times == 1)
            answers_.erase(it);
        return answer;
    }
    PowerAnswer success;
    success.minor = minor;
    success.type = type;
    return success;
}

} // namespace sim::usb
