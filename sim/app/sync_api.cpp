// GetLastError and SetLastError (per thread, as on the platform), event objects, waits, Sleep.
#include <chrono>
#include <thread>

#include "sim/app/process.h"
#include "sim/core/system.h"

using sim::app::Event;

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

BOOL withEvent(HANDLE handle, void (Event::*change)()) {
    auto event = sim::current().process().get<Event>(handle);
    if (event == nullptr) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    ((*event).*change)();
    return TRUE;
}

} // namespace

extern "C" {

DWORD WINAPI GetLastError() {
    return tLastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    tLastError = dwErrCode;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    if (lpName != nullptr) { // named objects are not modelled
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return sim::current().process().add(
        std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return withEvent(hEvent, &Event::set);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return withEvent(hEvent, &Event::reset);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto event = sim::current().process().get<Event>(hHandle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return event->wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

} // extern "C"
