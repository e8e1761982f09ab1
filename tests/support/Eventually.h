// Waiting in a test for what other threads, processes or steps bring about.
#pragma once
#include <chrono>
#include <concepts>
#include <cstdint>
#include <thread>

#include "platform/time/clock.h"

namespace testsupport {

// Polls `pred` until it holds or `ms` have passed, running `between` between two looks.
// The deadline is real time, so that a fake process clock neither freezes nor hurries it.
// Once the time is up the predicate gets one last look: a slow look never loses the race.
template <class Pred, std::invocable Between>
bool Eventually(Pred&& pred, int ms, Between&& between) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const bool late = std::chrono::steady_clock::now() > end;
        if (pred()) return true;
        if (late) return false;
        between();
    }
}

// The same, sleeping `poll` between two looks; a zero `poll` only yields.
template <class Pred>
bool Eventually(Pred&& pred, int ms = 10000,
                std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
    return Eventually(pred, ms, [poll] {
        if (poll.count() > 0)
            std::this_thread::sleep_for(poll);
        else
            std::this_thread::yield();
    });
}

// The same with the deadline on the process clock, for tests that step a fake clock: the
// steps in `between` move the time the deadline is measured in.
template <class Pred, std::invocable Between>
bool EventuallyOnProcessClock(Pred&& pred, uint32_t ms, Between&& between) {
    const uint32_t start = plat::GetTickCount();
    for (;;) {
        const bool late = plat::TickDiff(plat::GetTickCount(), start) >= ms;
        if (pred()) return true;
        if (late) return false;
        between();
    }
}

}  // namespace testsupport
