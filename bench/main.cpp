// vcom_bench: figures for the whole stack on the real-time clock, side by side with a Linux
// pseudo-terminal pair. Prints a table; asserts nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stack.h"

namespace {

double MiBps(const bench::Transfer& t) { return t.seconds > 0 ? t.bytes / 1048576.0 / t.seconds : 0; }
double CpuPerMiB(const bench::Transfer& t) { return t.bytes ? t.cpuSeconds / (t.bytes / 1048576.0) : 0; }

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts("usage: vcom_bench [--quick]\n  Loopback throughput (vcom and a pty pair), read latency and naming cost.\n"
                      "  --quick  small transfers, for a smoke run");
            return 0;
        } else {
            std::fprintf(stderr, "vcom_bench: unknown argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    rig::Rig rig;
    const uint64_t large = quick ? (1ull << 20) : (64ull << 20);
    const uint64_t small = quick ? (256ull << 10) : (8ull << 20);

    std::printf("%-34s %10s %12s %10s %8s\n", "loopback (write+read size)", "MiB/s", "CPU s/MiB", "pty MiB/s", "vcom/pty");
    bool lost = false;
    for (size_t chunk : {size_t(64), size_t(4096)}) {
        const uint64_t bytes = chunk == 64 ? small : large;
        bench::Transfer pty = bench::PtyLoopback(bytes, chunk);
        for (bool async : {false, true}) {
            for (ULONG packet : {64u, 512u}) {
                bench::LoopbackOptions o;
                o.bytes = bytes;
                o.chunk = chunk;
                o.packet = packet;
                o.txAsync = async;
                bench::Transfer t = bench::VcomLoopback(rig, o);
                char label[64];
                std::snprintf(label, sizeof label, "%4zu B, %s tx, %3u B packets", chunk, async ? "async" : "sync ", packet);
                std::printf("%-34s %10.1f %12.4f %10.1f %8.2f%s\n", label, MiBps(t), CpuPerMiB(t), MiBps(pty),
                            MiBps(pty) > 0 ? MiBps(t) / MiBps(pty) : 0.0, t.errors ? "  LOSS" : "");
                lost = lost || t.errors;
            }
        }
    }
    bench::Latency l = bench::ReadLatency(rig, quick ? 50 : 1000);
    std::printf("\nread latency (byte at device -> read complete): median %.1f us, p99 %.1f us (%d samples)\n", l.medianUs,
                l.p99Us, l.samples);
    const int ports = quick ? 50 : 1000;
    auto [add, remove] = bench::Naming(rig, ports);
    std::printf("naming: %d ports added and started in %.3f s (%.1f us each), removed in %.3f s\n", ports, add,
                add / ports * 1e6, remove);
    std::printf("verifier faults: %d\n", rig.Faults());
    return lost || rig.Faults() ? 1 : 0;
}
