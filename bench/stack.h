// Measurements through the whole stack: the Win32-style API, the driver, the simulated device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "reference.h"
#include "rig.h"

namespace bench {

struct LoopbackOptions {
    uint64_t bytes = 64ull << 20;
    size_t chunk = 4096;  // bytes per WriteFile and per ReadFile
    ULONG packet = 64;
    ULONG rxReqSize = 0;  // the RxReqSize registry value (0: absent, one packet)
    bool txAsync = false;
};

// Streams bytes out and back through a loopback plug, written and read by two application
// threads at once, and checks every byte.
Transfer VcomLoopback(rig::Rig& rig, const LoopbackOptions& options);

struct Latency {
    double medianUs = 0, p90Us = 0, p99Us = 0, maxUs = 0;
    int samples = 0;
};
// From a byte arriving at the device to the completion of a read that waits for it, seen by the
// reader. The byte comes from a far-end thread of its own (as a device's data arrives beside
// the reader), or from the reader's own thread between starting the read and waiting for it.
Latency ReadLatency(rig::Rig& rig, int samples, bool farThread);

// Adds and starts `count` ports, then removes them; seconds for each half.
std::pair<double, double> Naming(rig::Rig& rig, int count);

}  // namespace bench
