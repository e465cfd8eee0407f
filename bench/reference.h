// The kernel's own virtual serial line, as the reference for throughput, and what a measurement
// takes of the process around it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace bench {

// The emulation's own hand-offs (blocking waits, wake-ups, timer thread wakes).
struct EmuCounters {
    uint64_t blockingWaits = 0, wakeups = 0, timerThreadWakes = 0;
};

// What the process has used so far.
struct Usage {
    double wallSeconds = 0, cpuSeconds = 0;
    uint64_t contextSwitches = 0;  // voluntary and involuntary, every thread of the process
    EmuCounters emu;
    static Usage Now();
};

struct Transfer {
    double seconds = 0;     // wall time
    double cpuSeconds = 0;  // CPU time of the whole process
    uint64_t bytes = 0;
    uint64_t errors = 0;    // bytes that did not arrive as sent
    uint64_t requests = 0;  // reads and writes the application made
    uint64_t contextSwitches = 0;
    EmuCounters emu;        // deltas over the transfer

    void Measured(const Usage& before, const Usage& after);
    double MiBps() const { return seconds > 0 ? bytes / 1048576.0 / seconds : 0; }
    double CpuPerMiB() const { return bytes ? cpuSeconds / (bytes / 1048576.0) : 0; }
    double PerRequest(uint64_t n) const { return requests ? static_cast<double>(n) / requests : 0; }
};

// Streams `bytes` through a pseudo-terminal pair in raw mode, written and read `chunk` bytes
// at a time by two threads, and checks every byte.
Transfer PtyLoopback(uint64_t bytes, size_t chunk);

double ProcessCpuSeconds();

}  // namespace bench
