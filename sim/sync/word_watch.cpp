#include "sim/sync/word_watch.h"

#include <mutex>

namespace sim {

namespace {

// Every interlocked routine looks here, so the common case (no watch) is one relaxed load.
std::atomic<WordWatch*> armed{nullptr};
std::mutex armedMutex; // orders a watch's withdrawal with its firing

} // namespace

WordWatch::WordWatch(const volatile void* word, LONG value, std::function<void()> action)
    : word_(word), value_(value), action_(std::move(action)) {
    std::lock_guard lock(armedMutex);
    armed.store(this);
}

WordWatch::~WordWatch() {
    std::lock_guard lock(armedMutex);
    WordWatch* self = this;
    armed.compare_exchange_strong(self, nullptr);
}

void noteWordChanged(const volatile void* word, LONG value) {
    WordWatch* watch = armed.load(std::memory_order_relaxed);
    if (watch == nullptr)
        return;
    {
        std::lock_guard lock(armedMutex);
        watch = armed.load();
        if (watch == nullptr || watch->word_ != word || watch->value_ != value)
            return;
        armed.store(nullptr); // once: the action's own interlocked steps do not fire it again
    }
    watch->action_();
    watch->fired_.store(true);
}

} // namespace sim
