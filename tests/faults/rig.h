// Shared by the fault tests: steps that may wait for timers, run while this thread moves the clock.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <optional>
#include <thread>

#include "emu/sched.h"

namespace faults {

// Runs a PnP or driver-loading step on an emulated thread while this thread moves the clock, so
// that a step waiting for a timer neither hangs nor goes unnoticed.
template <class F>
auto OffClock(F fn) {
    std::optional<decltype(fn())> result;
    std::atomic<bool> done{false};
    emu::Thread t(
        [&] {
            result.emplace(fn());
            done = true;
        },
        "pnp");
    // A step that joins a thread (a device model's worker, on removal) can look blocked for a
    // moment while the joined thread exits, with the emulation idle: look again before calling
    // the step stuck.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!emu::AdvanceTimeUntil([&] { return done.load(); })) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "a PnP step never finished\n" << emu::DumpState();
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t.join();
    return std::move(*result);
}

}  // namespace faults
