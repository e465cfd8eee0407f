// The emulation's own count of OS thread hand-offs, for benchmarks to print per request.
// Relaxed atomic counters, process-wide and never reset: read before and after, subtract.
#pragma once

#include <cstdint>

namespace emu {

struct WaitCounters {
    uint64_t blockingWaits = 0;     // an emulated context really blocked on an OS primitive
    uint64_t wakeups = 0;           // notifications sent that woke a blocked OS thread
    uint64_t timerThreadWakes = 0;  // the real-time clock's timer thread woke
};

WaitCounters ReadWaitCounters();

}  // namespace emu
