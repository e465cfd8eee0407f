// vcom_bench: figures for the whole stack on the real-time clock, side by side with a Linux
// pseudo-terminal pair in the same run. Prints Markdown tables (the README's are pasted from
// them); asserts nothing.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "stack.h"

namespace {

// What a USB 2.0 high-speed bulk pipe carries at most: 13 packets of 512 bytes per microframe.
constexpr double kHighSpeedMiBps = 13 * 512 * 8000 / 1048576.0;

struct Setting {
    const char* name;
    ULONG packet;
    ULONG rxReqSize;
};

// A full-speed and a high-speed device with the registry's defaults (one packet per receive
// transfer), and the high-speed device tuned: a receive transfer of 4096 bytes, the size of the
// port's receive buffer, carries what one 4096-byte write sent in one round trip instead of eight.
const Setting kSettings[] = {
    {"64 B packets, defaults", 64, 0},
    {"512 B packets, defaults", 512, 0},
    {"512 B packets, RxReqSize 4096", 512, 4096},
};

std::string Fixed(double v, int decimals) {
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

void Row(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const auto& c : cells) line += " " + c + " |";
    std::puts(line.c_str());
}

void Header(const std::vector<std::string>& cells) {
    Row(cells);
    std::vector<std::string> rule(cells.size(), "---");
    Row(rule);
}

uint64_t SweepBytes(size_t size, bool quick) {
    uint64_t n = static_cast<uint64_t>(size) * (quick ? 256 : 8192);
    uint64_t lo = quick ? (4u << 10) : (32u << 10), hi = quick ? (1u << 20) : (16u << 20);
    return std::min(std::max(n, lo), hi);
}

struct Series {
    const char* name;
    const char* colour;
    std::vector<double> mibps;
};

// Throughput against write/read size on log-log axes, as a self-contained SVG.
bool WriteSvg(const char* path, const std::vector<size_t>& sizes, const std::vector<Series>& series,
              const std::string& note) {
    FILE* f = std::fopen(path, "w");
    if (!f) return false;
    const double W = 760, H = 440, L = 70, R = 170, T = 40, B = 60;
    double lo = 1e9, hi = 0;
    for (const auto& s : series)
        for (double v : s.mibps)
            if (v > 0) lo = std::min(lo, v), hi = std::max(hi, v);
    if (hi <= 0) lo = 0.01, hi = 1;
    double ylo = std::pow(10, std::floor(std::log10(lo))), yhi = std::pow(10, std::ceil(std::log10(hi)));
    auto x = [&](size_t i) { return L + (W - L - R) * static_cast<double>(i) / static_cast<double>(sizes.size() - 1); };
    auto y = [&](double v) {
        return T + (H - T - B) * (1 - (std::log10(v) - std::log10(ylo)) / (std::log10(yhi) - std::log10(ylo)));
    };
    std::fprintf(f, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" font-size=\"12\">\n", W, H);
    std::fprintf(f, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    std::fprintf(f, "<text x=\"%.0f\" y=\"22\" font-size=\"15\">Loopback throughput against write/read size</text>\n", L);
    for (double v = ylo; v <= yhi * 1.0001; v *= 10) {
        std::fprintf(f, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", L, W - R, y(v), y(v));
        std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n", L - 6, y(v) + 4, v);
    }
    for (size_t i = 0; i < sizes.size(); i++) {
        std::fprintf(f, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#eee\"/>\n", x(i), x(i), T, H - B);
        if (i % 2 == 0) {
            std::string label = sizes[i] >= 1024 ? std::to_string(sizes[i] / 1024) + "K" : std::to_string(sizes[i]);
            std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x(i), H - B + 18, label.c_str());
        }
    }
    std::fprintf(f, "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" stroke=\"#444\"/>\n", L, T, W - L - R, H - T - B);
    std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">bytes per write and per read</text>\n", (L + W - R) / 2, H - B + 38);
    std::fprintf(f, "<text x=\"18\" y=\"%.1f\" transform=\"rotate(-90 18 %.1f)\" text-anchor=\"middle\">MiB/s</text>\n", (T + H - B) / 2, (T + H - B) / 2);
    for (size_t k = 0; k < series.size(); k++) {
        const auto& s = series[k];
        std::string points;
        for (size_t i = 0; i < sizes.size() && i < s.mibps.size(); i++) {
            if (s.mibps[i] <= 0) continue;
            points += Fixed(x(i), 1) + "," + Fixed(y(s.mibps[i]), 1) + " ";
        }
        std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"%s\"/>\n", s.colour, points.c_str());
        double ly = T + 20 + 22 * static_cast<double>(k);
        std::fprintf(f, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"/>\n", W - R + 12, W - R + 36, ly, ly, s.colour);
        std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", W - R + 42, ly + 4, s.name);
    }
    // The goal at 4096 bytes: twice what a USB 2.0 high-speed bulk pipe carries.
    const double goal = 2 * kHighSpeedMiBps;
    if (goal > ylo && goal < yhi) {
        std::fprintf(f, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#888\" stroke-dasharray=\"5,4\"/>\n", L, W - R, y(goal), y(goal));
        std::fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\" fill=\"#555\">2x USB high speed</text>\n", W - R + 12, y(goal) + 4);
    }
    std::fprintf(f, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"10\" fill=\"#555\">%s</text>\n", L, H - 8, note.c_str());
    std::fprintf(f, "</svg>\n");
    return std::fclose(f) == 0;
}

std::string Today() {
    char b[32];
    std::time_t t = std::time(nullptr);
    std::strftime(b, sizeof b, "%Y-%m-%d", std::gmtime(&t));
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, smallOnly = false;
    const char* sweep = nullptr;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--small") == 0) {
            smallOnly = true;
        } else if (std::strcmp(argv[i], "--sweep") == 0 && i + 1 < argc) {
            sweep = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::puts("usage: vcom_bench [--quick] [--small] [--sweep FILE.svg]\n"
                      "  Loopback throughput (vcom and a pty pair), read latency and naming cost, as Markdown tables.\n"
                      "  --quick         small transfers, for a smoke run\n"
                      "  --small         only the 64-byte loopback rows (the dispatcher-bound case)\n"
                      "  --sweep FILE    also throughput against write/read size (1 B to 64 KiB), drawn into FILE (SVG)");
            return 0;
        } else {
            std::fprintf(stderr, "vcom_bench: unknown argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    rig::Rig rig;
    const uint64_t large = quick ? (1ull << 20) : (64ull << 20);
    const uint64_t small = quick ? (256ull << 10) : (8ull << 20);
    bool lost = false;

    std::printf("vcom_bench %s, release build, %s\n\n", Today().c_str(), quick ? "--quick" : "full run");
    Header({"loopback", "device", "MiB/s", "pty MiB/s", "vcom/pty", "CPU s/MiB", "pty CPU s/MiB", "ctx sw/req",
            "pty ctx sw/req", "emu waits/req", "emu wakeups/req", "emu timer wakes/req"});
    for (size_t chunk : {size_t(64), size_t(4096)}) {
        if (smallOnly && chunk != 64) break;
        const uint64_t bytes = chunk == 64 ? small : large;
        bench::Transfer pty = bench::PtyLoopback(bytes, chunk);
        lost = lost || pty.errors;
        for (bool async : {false, true}) {
            for (const Setting& s : kSettings) {
                bench::LoopbackOptions o;
                o.bytes = bytes;
                o.chunk = chunk;
                o.packet = s.packet;
                o.rxReqSize = s.rxReqSize;
                o.txAsync = async;
                bench::Transfer t = bench::VcomLoopback(rig, o);
                auto emu = [&](uint64_t n) { return Fixed(t.PerRequest(n), 2); };
                Row({std::to_string(chunk) + " B, " + (async ? "async" : "sync") + " tx" + (t.errors ? " LOSS" : ""), s.name,
                     Fixed(t.MiBps(), 1), Fixed(pty.MiBps(), 1), Fixed(pty.MiBps() > 0 ? t.MiBps() / pty.MiBps() : 0, 2),
                     Fixed(t.CpuPerMiB(), 4), Fixed(pty.CpuPerMiB(), 4), Fixed(t.PerRequest(t.contextSwitches), 2),
                     Fixed(pty.PerRequest(pty.contextSwitches), 2), emu(t.emu.blockingWaits), emu(t.emu.wakeups),
                     emu(t.emu.timerThreadWakes)});
                std::fflush(stdout);
                lost = lost || t.errors;
            }
        }
    }

    if (smallOnly) return lost ? 1 : 0;
    std::puts("");
    Header({"read latency, byte at the device to read complete", "median us", "p90 us", "p99 us", "max us", "samples"});
    for (bool far : {true, false}) {
        bench::Latency l = bench::ReadLatency(rig, quick ? 50 : 2000, far);
        Row({far ? "far end on its own thread" : "far end in the reader's thread", Fixed(l.medianUs, 1), Fixed(l.p90Us, 1),
             Fixed(l.p99Us, 1), Fixed(l.maxUs, 1), std::to_string(l.samples)});
    }

    const int ports = quick ? 50 : 1000;
    auto [add, remove] = bench::Naming(rig, ports);
    std::printf("\nnaming: %d ports added and started in %.3f s (%.1f us each), removed in %.3f s\n", ports, add,
                add / ports * 1e6, remove);

    if (sweep) {
        std::vector<size_t> sizes;
        for (size_t n = 1; n <= 65536; n *= 2) sizes.push_back(n);
        const Setting& s = kSettings[2];
        std::vector<Series> series = {{"vcom, sync tx", "#1f77b4", {}}, {"vcom, async tx", "#2ca02c", {}}, {"pty pair", "#d62728", {}}};
        std::puts("");
        Header({"sweep: bytes per write and read", "vcom sync MiB/s", "vcom async MiB/s", "pty MiB/s"});
        for (size_t n : sizes) {
            const uint64_t bytes = SweepBytes(n, quick);
            for (int k = 0; k < 2; k++) {
                bench::LoopbackOptions o;
                o.bytes = bytes;
                o.chunk = n;
                o.packet = s.packet;
                o.rxReqSize = s.rxReqSize;
                o.txAsync = k == 1;
                bench::Transfer t = bench::VcomLoopback(rig, o);
                lost = lost || t.errors;
                series[k].mibps.push_back(t.MiBps());
            }
            bench::Transfer p = bench::PtyLoopback(bytes, n);
            lost = lost || p.errors;
            series[2].mibps.push_back(p.MiBps());
            Row({std::to_string(n), Fixed(series[0].mibps.back(), 2), Fixed(series[1].mibps.back(), 2), Fixed(series[2].mibps.back(), 2)});
            std::fflush(stdout);
        }
        std::string note = "vcom_bench --sweep, " + Today() + ", " + s.name + "; writer and reader on two threads";
        if (!WriteSvg(sweep, sizes, series, note)) {
            std::fprintf(stderr, "vcom_bench: cannot write %s\n", sweep);
            return 2;
        }
        std::printf("\nsweep drawn into %s\n", sweep);
    }
    std::printf("verifier faults: %d\n", rig.Faults());
    return lost || rig.Faults() ? 1 : 0;
}
