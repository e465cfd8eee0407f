// The randomized stress workload: application threads on an open port (reads in every timeout
// mode, writes, every device control with valid and invalid buffers, purges, waits, flushes,
// immediate characters, cancels, close and reopen) while the device model delays, holds and
// fails completions, fails transfers part-way and may be unplugged amid one, and the PnP and
// power managers stop, start, power down and remove the device. Every choice comes from the seed, so a run with a seed repeats its choices; under the
// deterministic scheduler the threads' interleaving comes from the seed too.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace stress {

struct Options {
    uint64_t seed = 1;
    int epochs = 4;          // open .. close rounds
    int stepsPerEpoch = 60;  // the clock thread's steps (time, faults, PnP, power) per round
    int opsPerThread = 40;   // each application thread's requests per round
};

struct Result {
    bool ok = true;
    std::vector<std::string> failures;
    bool lossless = false;         // the seed's profile: nothing that may drop a byte
    bool asyncTx = false;
    bool surpriseRemoved = false;
    uint64_t requests = 0;         // requests the application issued
    uint64_t faultsInjected = 0;   // device-model faults, PnP and power events
    uint64_t partialFailures = 0;  // transfers the device failed after moving part of their bytes
    bool unplugged = false;        // the device's knobs unplugged it amid a transfer
    uint64_t bytesWritten = 0;     // bytes the writes carried
    uint64_t bytesOnWire = 0;
    uint64_t bytesRead = 0;
    uint64_t txGapBytes = 0, rxGapBytes = 0;
    uint64_t overruns = 0;         // receive overruns the port counted (since the last clear)
    std::map<std::string, uint64_t> statuses;  // "read STATUS_TIMEOUT" -> count
    std::string Summary() const;
};

// Runs one seed on a fresh stack. Must run on a fresh virtual clock with the verifier on; the
// verifier's own faults (double completion, leaks, pending requests) are raised through it.
Result Run(const Options& options);

// Iteration scale from the environment (VCOM_STRESS_SCALE, default 1; sanitizer builds set a
// smaller one in CI).
double Scale();

}  // namespace stress
