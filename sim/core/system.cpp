#include "sim/core/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sim/io/io_manager.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/memory/user_space.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {
std::atomic<System*> gCurrent{nullptr};
}

System::System()
    : pool_(std::make_unique<Pool>()), userSpace_(std::make_unique<UserAddressSpace>()),
      mdls_(std::make_unique<MdlTable>()), dispatcher_(std::make_unique<Dispatcher>()) {
    System* expected = nullptr;
    if (!gCurrent.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "simulated system: only one System may run at a time\n");
        std::abort();
    }
    io_ = std::make_unique<IoManager>();
}

System::~System() {
    io_.reset();
    gCurrent.store(nullptr);
}

void System::checkLeaks() {
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
