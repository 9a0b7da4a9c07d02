// Waiting in a test for something another thread brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace wdmusb::test {

// Polls `done` every 10 ms for up to 10 s; its last answer.
inline bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

} // namespace wdmusb::test
