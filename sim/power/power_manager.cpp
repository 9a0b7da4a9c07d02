#include "sim/power/power_manager.h"

#include "sim/core/system.h"

namespace sim {

PowerManager::PowerManager() = default;

PowerManager::~PowerManager() {
    joinWakeSenders();
}

SYSTEM_POWER_STATE PowerManager::systemState() const {
    std::lock_guard lock(mutex_);
    return system_;
}

void PowerManager::waitIdle() {
    if (!worker_.waitIdle(std::chrono::seconds(60)))
        current().verifier().report(Rule::WaitNeverEnded,
                                    "a power IRP delivered by the power manager's worker has not "
                                    "come back from its driver's dispatch routine within 60 s");
}

} // namespace sim
