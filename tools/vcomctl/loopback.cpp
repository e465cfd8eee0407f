// Streams bytes out through the port and back in through the loopback plug, both directions at
// once, checking every byte.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "commands.h"
#include "emu/sched.h"

namespace vcomctl {

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

uint8_t PatternByte(uint64_t position) { return static_cast<uint8_t>(position ^ (position >> 8)); }

// One overlapped transfer, waited for.
bool Transfer(HANDLE port, bool write, uint8_t* data, DWORD length, DWORD* done) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started = write ? WriteFile(port, data, length, nullptr, &ov) : ReadFile(port, data, length, nullptr, &ov);
    bool ok = (started || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(port, &ov, done, TRUE);
    CloseHandle(ov.hEvent);
    return ok;
}

void Progress(bool terminal, uint64_t done, uint64_t total, double seconds) {
    double mib = done / 1048576.0;
    if (terminal) {
        int width = 30, filled = total ? static_cast<int>(width * done / total) : width;
        std::printf("\r  [%.*s%*s] %3d%%  %.1f MiB/s", filled, "##############################", width - filled, "",
                    total ? static_cast<int>(100 * done / total) : 100, seconds > 0 ? mib / seconds : 0.0);
    } else {
        std::printf("  %llu of %llu bytes\n", (unsigned long long)done, (unsigned long long)total);
    }
    std::fflush(stdout);
}

}  // namespace

int RunLoopback(const Common& common, const LoopbackOptions& o) {
    StartTrace(common);
    rig::Rig rig;
    usbpipe::Config config = common.Device();
    config.pacing = o.paced;
    std::unique_ptr<rig::Port> dev = rig.Plug(config, common.Values());
    if (!NT_SUCCESS(dev->started)) {
        std::fprintf(stderr, "vcomctl: the device did not start: %s\n", rig::StatusText(dev->started).c_str());
        return 1;
    }
    dev->device->SetLoopback(true);
    if (o.dropByte >= 0) dev->device->DropArrivingByte(static_cast<uint64_t>(o.dropByte));

    HANDLE com = OpenPort(L"\\\\.\\COM7", true);
    if (com == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vcomctl: cannot open COM7: %s\n", LastError().c_str());
        return 1;
    }
    bool ok = ApplyLine(com, o.baud, true);
    if (ok && o.queue >= 0) ok = SetupComm(com, static_cast<DWORD>(o.queue), 4096);
    // A read returns once bytes are there, or after 2 s of silence: the end of the stream. On a
    // paced line a transfer arrives after its time on the line, which the silence must outlast.
    DWORD silence = 2000;
    if (o.paced && o.baud) {
        uint64_t lineMs = 10ull * 1000 * std::max<uint64_t>(o.chunk, 4096) / o.baud;  // 10 bits a byte
        silence = static_cast<DWORD>(std::min<uint64_t>(2000 + 2 * lineMs, MAXDWORD - 1));
    }
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, silence, 0, 0};
    ok = ok && SetCommTimeouts(com, &t);
    if (!ok) {
        std::fprintf(stderr, "vcomctl: the port refused the settings: %s\n", LastError().c_str());
        CloseHandle(com);
        return 1;
    }
    std::printf("loopback: %llu bytes, %lu-byte writes and reads, %s transmit, %lu-byte packets, %lu baud%s\n",
                (unsigned long long)o.bytes, (unsigned long)o.chunk, common.txAsync ? "asynchronous" : "synchronous",
                (unsigned long)common.packet, (unsigned long)o.baud, o.paced ? " (paced)" : "");

    const bool terminal = isatty(STDOUT_FILENO);
    std::atomic<uint64_t> sent{0};
    std::atomic<bool> writeFailed{false};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    emu::Thread writer([&] {
        std::vector<uint8_t> buf(o.chunk);
        uint64_t position = 0;
        while (position < o.bytes) {
            DWORD n = static_cast<DWORD>(std::min<uint64_t>(o.chunk, o.bytes - position));
            for (DWORD i = 0; i < n; i++) buf[i] = PatternByte(position + i);
            DWORD done = 0;
            if (!Transfer(com, true, buf.data(), n, &done)) {
                writeFailed = true;
                break;
            }
            position += done;
            sent = position;
        }
    });

    std::vector<uint8_t> buf(o.chunk);
    uint64_t received = 0, wrong = 0, firstWrong = UINT64_MAX;
    uint64_t reported = 0;
    auto lastReport = std::chrono::steady_clock::now();
    while (received < o.bytes) {
        DWORD n = 0;
        if (!Transfer(com, false, buf.data(), o.chunk, &n) || n == 0) break;  // silence: nothing more comes
        for (DWORD i = 0; i < n; i++) {
            if (buf[i] != PatternByte(received + i)) {
                wrong++;
                if (firstWrong == UINT64_MAX) firstWrong = received + i;
            }
        }
        received += n;
        auto now = std::chrono::steady_clock::now();
        if (now - lastReport > std::chrono::milliseconds(terminal ? 100 : 1000) || received == o.bytes) {
            Progress(terminal, received, o.bytes, std::chrono::duration<double>(now - t0).count());
            lastReport = now;
            reported = received;
        }
    }
    writer.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    if (terminal && reported) std::printf("\n");
    CloseHandle(com);
    dev->Remove();
    dev.reset();

    const uint64_t missing = o.bytes > received ? o.bytes - received : 0;
    const double mib = received / 1048576.0;
    std::printf("received %llu of %llu bytes in %.2f s: %.2f MiB/s, CPU %.2f s (%.3f s per MiB)\n",
                (unsigned long long)received, (unsigned long long)o.bytes, seconds, seconds > 0 ? mib / seconds : 0.0,
                cpu, mib > 0 ? cpu / mib : 0.0);
    if (missing || wrong || writeFailed) {
        std::printf("LOSS: %llu byte(s) missing, %llu byte(s) out of place", (unsigned long long)missing,
                    (unsigned long long)wrong);
        if (firstWrong != UINT64_MAX) std::printf(" (first at position %llu)", (unsigned long long)firstWrong);
        std::printf("%s\n", writeFailed ? ", a write failed" : "");
        return 1;
    }
    std::printf("no loss: every byte arrived once, in order; verifier faults %d\n", rig.Faults());
    return rig.Faults() == 0 ? 0 : 1;
}

}  // namespace vcomctl
