// A test's way to stop a thread right after it changed a shared word with an interlocked routine,
// as if it had been pre-empted there. On the platform two interlocked steps of one routine can be
// as far apart as the scheduler likes; a test that must show what another thread finds between
// them (a close that has freed one pipe and not yet the other) watches the word the first step
// changes and acts in that gap.
//
// Usage (tests):
//     sim::WordWatch watch(&pipe->PipeFlags, 0, [&] { ... another thread opens and finishes ... });
//     handle.close();          // the close's exchange to 0 runs the action on the closing thread
//     EXPECT_TRUE(watch.fired());
//
// One watch at a time, for the System's whole process. It fires once: on the thread whose
// interlocked routine left `value` in the word, before that routine returns. The action runs
// wherever that thread is (a dispatch routine, a completion at DISPATCH_LEVEL): it may wait for
// another thread, but must not call the driver from the watched thread itself.
#pragma once

#include <atomic>
#include <functional>

#include "platform/host/host_platform.h"

namespace sim {

class WordWatch {
public:
    WordWatch(const volatile void* word, LONG value, std::function<void()> action);
    ~WordWatch(); // a watch that has not fired is withdrawn
    WordWatch(const WordWatch&) = delete;
    WordWatch& operator=(const WordWatch&) = delete;

    bool fired() const { return fired_.load(); }

private:
    friend void noteWordChanged(const volatile void* word, LONG value);

    const volatile void* word_;
    LONG value_;
    std::function<void()> action_;
    std::atomic<bool> fired_{false};
};

// Called by the interlocked routines with the value they left in a word.
void noteWordChanged(const volatile void* word, LONG value);

} // namespace sim
