#include "sim/core/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sim/app/process.h"
#include "sim/io/file_io.h"
#include "sim/io/io_manager.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/memory/user_space.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {
std::atomic<System*> gCurrent{nullptr};
}

System::System(SystemOptions options)
    : verifier_(options.verifier), pool_(std::make_unique<Pool>(options.verifier)),
      userSpace_(std::make_unique<UserAddressSpace>()),
      mdls_(std::make_unique<MdlTable>(options.verifier)),
      dispatcher_(std::make_unique<Dispatcher>()) {
    System* expected = nullptr;
    if (!gCurrent.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "simulated system: only one System may run at a time\n");
        std::abort();
    }
    io_ = std::make_unique<IoManager>();
    pnp_ = std::make_unique<PnpManager>();
    io_->addForgetHook([pnp = pnp_.get()](PDEVICE_OBJECT device) { pnp->forgetDevice(device); });
    files_ = std::make_unique<FileIo>();
    process_ = std::make_unique<app::Process>();
    power_ = std::make_unique<PowerManager>();
}

System::~System() {
    // Closes still being sent run driver code: they end before the bus and the managers go.
    process_.reset();
    files_.reset();
    for (;;) {
        std::function<void()> hook;
        {
            std::lock_guard lock(hooksMutex_);
            if (hooks_.empty())
                break;
            hook = std::move(hooks_.back().second);
            hooks_.pop_back();
        }
        hook();
    }
    power_.reset(); // its threads may still call into drivers
    pnp_.reset();
    io_.reset();
    gCurrent.store(nullptr);
}

std::uint64_t System::addShutdownHook(std::function<void()> hook) {
    std::lock_guard lock(hooksMutex_);
    const std::uint64_t id = nextHook_++;
    hooks_.emplace_back(id, std::move(hook));
    return id;
}

void System::removeShutdownHook(std::uint64_t id) {
    std::lock_guard lock(hooksMutex_);
    std::erase_if(hooks_, [id](const auto& entry) { return entry.first == id; });
}

void System::checkLeaks() {
    files_->waitClosers(); // nor are closes being sent as a handle's last request ended
    power_->waitIdle();    // deliveries still under way are not leaks
    io_->reportLeaks();
    mdls_->reportLeaks();
    pool_->reportLeaks();
    pool_->checkIntegrity();
}

System& current() {
    System* system = gCurrent.load();
    if (system == nullptr) {
        std::fprintf(stderr, "simulated system: a platform routine was called with no System\n");
        std::abort();
    }
    return *system;
}

bool hasCurrent() {
    return gCurrent.load() != nullptr;
}

} // namespace sim
