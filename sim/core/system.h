// The simulated machine. One System exists while a test, a tool or a benchmark runs the driver;
// the platform routines reach it through current(). Each piece of the platform is a member, so
// every test starts from a fresh machine and ends with its leak checks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/faults/fault_injector.h"
#include "sim/verifier/verifier.h"

namespace sim {

class Pool;
class UserAddressSpace;
class MdlTable;
class IoManager;
class Dispatcher;
class PnpManager;
class FileIo;
namespace app {
class Process;
}
class PowerManager;

// How a System is made. The verifier stays on unless a benchmark measures its price.
struct SystemOptions {
    bool verifier = true;
};

class System {
public:
    explicit System(SystemOptions options = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    Verifier& verifier() { return verifier_; }
    FaultInjector& faults() { return faults_; }
    Pool& pool() { return *pool_; }
    UserAddressSpace& userSpace() { return *userSpace_; }
    MdlTable& mdls() { return *mdls_; }
    IoManager& io() { return *io_; }
    Dispatcher& dispatcher() { return *dispatcher_; }
    PnpManager& pnp() { return *pnp_; }
    // The I/O manager's side of applications' requests, and the application process itself.
    FileIo& files() { return *files_; }
    app::Process& process() { return *process_; }
    PowerManager& power() { return *power_; }

    // Pieces that run threads of their own (the USB host controller) and live outside the System
    // register a hook that stops them; ~System runs the hooks still registered, newest first,
    // before it tears anything down. Returns an id for removeShutdownHook.
    std::uint64_t addShutdownHook(std::function<void()> hook);
    void removeShutdownHook(std::uint64_t id);

    // Reports every object still allocated (pool blocks, driver IRPs, MDLs) as a finding.
    void checkLeaks();

private:
    Verifier verifier_;
    FaultInjector faults_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<UserAddressSpace> userSpace_;
    std::unique_ptr<MdlTable> mdls_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<FileIo> files_;
    std::unique_ptr<app::Process> process_;
    std::unique_ptr<PowerManager> power_;
    std::mutex hooksMutex_; // guards hooks_
    std::vector<std::pair<std::uint64_t, std::function<void()>>> hooks_;
    std::uint64_t nextHook_ = 1;
};

// The running system; a platform routine called with none running is a fatal error.
System& current();
bool hasCurrent();

} // namespace sim
