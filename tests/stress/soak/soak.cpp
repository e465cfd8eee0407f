// soak: runs stress seeds one after another until the time asked for has passed, with the
// verifier on and its end-of-run checks after every seed; stops at the first failure and prints
// the seed that reproduces it.
//   soak [minutes=10] [first seed=1000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "workload.h"

namespace {
std::vector<std::string> gFaults;
void Record(const emu::verifier::Report& r) { gFaults.push_back(std::string(emu::verifier::FaultName(r.fault)) + ": " + r.message); }
}  // namespace

int main(int argc, char** argv) {
    double minutes = argc > 1 ? std::atof(argv[1]) : 10;
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 1000;
    emu::verifier::SetFailHandler(Record);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double, std::ratio<60>>(minutes);
    uint64_t runs = 0, requests = 0, faults = 0;
    for (; std::chrono::steady_clock::now() < end; ++seed, ++runs) {
        emu::verifier::Reset();
        emu::SetClockMode(emu::ClockMode::Virtual);
        emu::testing::RunStartOfTestHooks();
        stress::Options o;
        o.seed = seed;
        stress::Result r = stress::Run(o);
        emu::RunUntilIdle();
        emu::testing::RunEndOfTestChecks();
        requests += r.requests;
        faults += r.faultsInjected;
        if (!r.ok || !gFaults.empty()) {
            std::printf("seed %llu FAILED (%s)\n", static_cast<unsigned long long>(seed), r.Summary().c_str());
            for (auto& f : r.failures) std::printf("  %s\n", f.c_str());
            for (auto& f : gFaults) std::printf("  verifier: %s\n", f.c_str());
            return 1;
        }
    }
    std::printf("soak: %llu seeds, %llu requests, %llu faults injected, all clean (next seed %llu)\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(requests),
                static_cast<unsigned long long>(faults), static_cast<unsigned long long>(seed));
    return 0;
}
