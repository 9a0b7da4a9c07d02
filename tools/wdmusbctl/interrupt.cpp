#include "tools/wdmusbctl/interrupt.h"

#include <atomic>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <pthread.h>
#include <thread>

#include "sim/app/win32.h"
#endif

namespace wdmusbctl {

namespace {

std::atomic<WdmusbDevice*> gDevice{nullptr};
std::atomic<int> gHandling{0}; // Ctrl-C handlers between reading gDevice and done with it
std::atomic<bool> gInterrupted{false};

// True when a device took the interrupt; false leaves it to the platform's default.
bool cancelHeldDevice() {
    ++gHandling;
    WdmusbDevice* device = gDevice.load();
    if (device != nullptr) {
        gInterrupted = true;
        WdmusbCancel(device);
    }
    --gHandling;
    return device != nullptr;
}

#if defined(_WIN32)
BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    return cancelHeldDevice() ? TRUE : FALSE;
}
#endif

} // namespace

void catchInterrupts() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
    std::thread([interrupt] {
        for (;;) {
            int signal = 0;
            if (sigwait(&interrupt, &signal) != 0 || cancelHeldDevice())
                continue;
            std::_Exit(128 + SIGINT); // as the default action would end it
        }
    }).detach();
#endif
}

void cancelOnInterrupt(WdmusbDevice* device) {
    gDevice = device;
    if (device != nullptr && gInterrupted)
        WdmusbCancel(device); // pressed before this device was held
    while (gHandling.load() != 0)
        Sleep(1);
}

bool interrupted() {
    return gInterrupted;
}

} // namespace wdmusbctl
