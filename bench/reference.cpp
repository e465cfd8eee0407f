#include "reference.h"

#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <emu/counters.h>

namespace bench {

Usage Usage::Now() {
    Usage u;
    u.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    u.cpuSeconds = ProcessCpuSeconds();
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    u.contextSwitches = static_cast<uint64_t>(r.ru_nvcsw) + static_cast<uint64_t>(r.ru_nivcsw);
    auto c = emu::ReadWaitCounters();
    u.emu.blockingWaits = c.blockingWaits;
    u.emu.wakeups = c.wakeups;
    u.emu.timerThreadWakes = c.timerThreadWakes;
    return u;
}

void Transfer::Measured(const Usage& before, const Usage& after) {
    seconds = after.wallSeconds - before.wallSeconds;
    cpuSeconds = after.cpuSeconds - before.cpuSeconds;
    contextSwitches = after.contextSwitches - before.contextSwitches;
    emu.blockingWaits = after.emu.blockingWaits - before.emu.blockingWaits;
    emu.wakeups = after.emu.wakeups - before.emu.wakeups;
    emu.timerThreadWakes = after.emu.timerThreadWakes - before.emu.timerThreadWakes;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

Transfer PtyLoopback(uint64_t bytes, size_t chunk) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    for (int fd : {master, slave}) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    Transfer result;
    uint64_t writes = 0, reads = 0;
    const Usage before = Usage::Now();
    std::thread writer([&] {
        std::vector<uint8_t> buf(chunk);
        uint64_t sent = 0;
        while (sent < bytes) {
            size_t n = std::min<uint64_t>(chunk, bytes - sent);
            for (size_t i = 0; i < n; i++) buf[i] = static_cast<uint8_t>(sent + i);
            ssize_t w = write(master, buf.data(), n);
            writes++;
            if (w <= 0) break;
            sent += static_cast<uint64_t>(w);
        }
    });
    std::vector<uint8_t> buf(chunk);
    uint64_t got = 0;
    while (got < bytes) {
        ssize_t r = read(slave, buf.data(), chunk);
        reads++;
        if (r <= 0) break;
        for (ssize_t i = 0; i < r; i++) {
            if (buf[i] != static_cast<uint8_t>(got + i)) result.errors++;
        }
        got += static_cast<uint64_t>(r);
    }
    writer.join();
    result.Measured(before, Usage::Now());
    result.requests = writes + reads;
    result.bytes = got;
    result.errors += bytes - got;
    close(master);
    close(slave);
    return result;
}

}  // namespace bench
