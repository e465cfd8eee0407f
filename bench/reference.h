// The kernel's own virtual serial line, as the reference for throughput.
#pragma once
#include <cstddef>
#include <cstdint>

namespace bench {

struct Transfer {
    double seconds = 0;     // wall time
    double cpuSeconds = 0;  // CPU time of the whole process
    uint64_t bytes = 0;
    uint64_t errors = 0;  // bytes that did not arrive as sent
};

// Streams `bytes` through a pseudo-terminal pair in raw mode, written and read `chunk` bytes
// at a time by two threads, and checks every byte.
Transfer PtyLoopback(uint64_t bytes, size_t chunk);

double ProcessCpuSeconds();

}  // namespace bench
