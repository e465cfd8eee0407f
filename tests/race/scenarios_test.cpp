// Race scenarios of the driver: each states the operations that run at the same time on one
// port; the explorer runs them under many schedules and checks, after each, that no request is
// left pending or completed twice, that no byte a completed write reported is missing, that no
// pool or IRP is left after removal, and the scenario's own invariant.
#include <gtest/gtest.h>

#include <cstring>

#include "ntddser.h"
#include "race.h"

namespace {

using emu::sched::ExploreOptions;
using race::Port;
using race::Scenario;
using vcomtest::Bytes;

// Explores up to `schedules` schedules of `strategy` (pct of depth 3, dfs with two preemptions,
// or random), or skips a scenario whose fault is not mended yet.
void Check(const Scenario& s, const char* strategy, int schedules) {
    ExploreOptions o;
    o.strategy = strategy;
    o.schedules = schedules;
    if (race::Runs(s)) race::Explore(s, o);
}

constexpr uint32_t kAllFaults = emu::sched::kAllocationFaults | emu::sched::kDeviceFaults;
// Asynchronous transmit completes a write once its bytes are buffered: a transfer that fails or
// an unplug loses them by design, so those scenarios draw neither.
constexpr uint32_t kAsyncTransmitFaults =
    emu::sched::kAllocationFaults | emu::sched::FaultBit(emu::sched::FaultKind::DeviceInline) |
    emu::sched::FaultBit(emu::sched::FaultKind::DevicePassive);

vcomtest::StackOptions Transmit(bool async) {
    vcomtest::StackOptions o;
    if (async) o.values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(1);
    return o;
}

Bytes Pattern(size_t n) { return vcomtest::Pattern(n, 1, 7); }

void SetTimeouts(Port& p, ULONG readInterval, ULONG readConstant, ULONG writeConstant) {
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = readInterval;
    t.ReadTotalTimeoutConstant = readConstant;
    t.WriteTotalTimeoutConstant = writeConstant;
    p.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0);
}

void SetMask(Port& p, ULONG mask) { p.file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0); }

void Wait(Port& p) { p.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)); }

// Once the port is closed, nothing of it may be left at the device or armed, whatever ran after.
std::string NothingAtTheDevice(Port& p) {
    if (!p.Closed()) return {};
    std::string left = p.Leftovers(true);
    return left.empty() ? left : "the closed port left: " + left;
}

TEST(Race, LastCloseAgainstPowerUp) {
    Scenario s;
    s.faults = kAllFaults;
    s.setUp = [](Port& p) { p.PowerDown(); };
    s.ops = {[](Port& p) { p.Close(); }, [](Port& p) { p.PowerUp(); }};
    s.check = NothingAtTheDevice;
    Check(s, "dfs", 600);
}

TEST(Race, CleanupAgainstALateWaitAndALateRead) {
    Scenario s;
    s.faults = kAllFaults;
    s.setUp = [](Port& p) { SetMask(p, SERIAL_EV_RXCHAR); };
    s.ops = {[](Port& p) { p.Close(); }, Wait, [](Port& p) { p.Read(16); }};
    s.check = NothingAtTheDevice;
    Check(s, "pct", 300);
}

TEST(Race, PurgeAgainstPowerDownAndAWriteInBothTransmitModes) {
    for (bool async : {false, true}) {
        for (ULONG mask : {SERIAL_PURGE_TXABORT, SERIAL_PURGE_TXCLEAR, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR,
                           SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR}) {
            SCOPED_TRACE((async ? "async, mask " : "sync, mask ") + std::to_string(mask));
            Scenario s;
            s.stack = Transmit(async);
            s.faults = async ? kAsyncTransmitFaults : kAllFaults;
            s.completedWritesMayBeCut = async && (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR));
            s.ops = {[](Port& p) { p.Write(Pattern(200)); },
                     [mask](Port& p) { p.Set(IOCTL_SERIAL_PURGE, mask); },
                     [](Port& p) { p.PowerDown(); }};
            s.check = [](Port& p) {
                // Back on, what was left to send goes out.
                p.PowerUp();
                emu::AdvanceTime(100);
                return std::string();
            };
            Check(s, "pct", 400);
        }
    }
}

TEST(Race, SurpriseRemovalAgainstReadWriteAndWait) {
    Scenario s;
    s.faults = kAllFaults;
    s.setUp = [](Port& p) { SetMask(p, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY); };
    s.ops = {[](Port& p) { p.Read(8); }, [](Port& p) { p.Write(Pattern(100)); }, Wait,
             [](Port& p) { p.SurpriseRemoval(); }};
    Check(s, "pct", 500);
}

// A PnP stop ends the port's activities as a D3 does, and the start after it brings them back.
// Every request ends by itself (time-outs), so the port is still open for the check.
TEST(Race, PnpStopAgainstReadWriteAndABaudChange) {
    Scenario s;
    s.faults = kAllFaults;
    s.setUp = [](Port& p) { SetTimeouts(p, 0, 20, 20); };
    s.ops = {[](Port& p) { p.Read(8); }, [](Port& p) { p.Write(Pattern(100)); },
             [](Port& p) { p.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}); },
             [](Port& p) { p.Stop(); }};
    s.check = [](Port& p) {
        if (p.Closed()) return std::string("a request did not end by itself");
        NTSTATUS started = p.Start();
        if (!NT_SUCCESS(started)) return "the restart failed with " + std::to_string(started);
        if (p.stack.dev().Unplugged()) return std::string();
        p.stack.dev().Inject(Pattern(4));
        auto read = p.file->Read(4);
        if (read.Information() != 4)
            return "after the restart a read got " + std::to_string(read.Information()) + " of 4 bytes waiting";
        return std::string();
    };
    Check(s, "pct", 300);
}

// A create admitted before the removal may reach the driver after it: refused, never crashing.
TEST(Race, RemovalAgainstACreate) {
    auto opened = std::make_shared<NTSTATUS>();
    Scenario s;
    s.faults = kAllFaults;
    s.setUp = [](Port& p) { p.Close(); };
    s.ops = {[opened](Port& p) {
                 std::unique_ptr<emu::io::File> f;
                 *opened = p.stack.Open(&f);
                 if (NT_SUCCESS(*opened)) f->Close();
             },
             [](Port& p) { p.stack.node().Remove(); }};
    s.check = [opened](Port&) {
        NTSTATUS st = *opened;
        bool ok = st == STATUS_SUCCESS || st == STATUS_DELETE_PENDING || st == STATUS_OBJECT_NAME_NOT_FOUND ||
                  (st == STATUS_INSUFFICIENT_RESOURCES && emu::sched::FaultsDrawn() > 0);
        return ok ? std::string() : "the create ended with status " + std::to_string(static_cast<unsigned>(st));
    };
    Check(s, "pct", 300);
}

// A power request holds the remove lock across its pass-down: the removal waits for it or
// refuses it, and the lower device never sees it after its own removal.
// The power manager sends nothing once the removal began: the power-down then fails as such.
TEST(Race, RemovalAgainstALastCloseAndAPowerDown) {
    auto powered = std::make_shared<NTSTATUS>();
    Scenario s;
    s.faults = kAllFaults;
    s.ops = {[](Port& p) { p.Close(); },
             [powered](Port& p) { *powered = p.PowerDown(); },
             [](Port& p) { p.stack.node().Remove(); }};
    s.check = [powered](Port&) {
        NTSTATUS st = *powered;
        bool ok = st == STATUS_SUCCESS || st == STATUS_DELETE_PENDING || st == STATUS_NO_SUCH_DEVICE;
        return ok ? std::string() : "the power-down ended with status " + std::to_string(static_cast<unsigned>(st));
    };
    Check(s, "pct", 300);
}

TEST(Race, QueueSizeAgainstAVariant3BaudChangeAndARead) {
    Scenario s;
    s.faults = kAllFaults;
    s.stack = vcomtest::Variant(3);
    s.setUp = [](Port& p) {
        SetTimeouts(p, 0, 20, 0);
        p.stack.dev().Inject(Pattern(40));
    };
    s.ops = {[](Port& p) {
                 SERIAL_QUEUE_SIZE q{8192, 8192};
                 p.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, q);
             },
             [](Port& p) {
                 SERIAL_BAUD_RATE b{115200};
                 p.Set(IOCTL_SERIAL_SET_BAUD_RATE, b);
             },
             [](Port& p) { p.Read(40); }};
    Check(s, "pct", 500);
}

// Cancel against completion against time-out, for each kind of request.
TEST(Race, CancelAgainstCompletionAgainstTimeout) {
    struct Case {
        const char* name;
        std::function<void(Port&)> setUp, issue, complete;
    } cases[] = {
        {"read", [](Port& p) { SetTimeouts(p, 0, 5, 0); }, [](Port& p) { p.Read(4); },
         [](Port& p) { p.Device([](usbpipe::Device& d) { d.Inject(Pattern(4)); }); }},
        {"write",
         [](Port& p) {
             SetTimeouts(p, 0, 0, 5);
             p.stack.dev().SetCompletionDelay(50000);
         },
         [](Port& p) { p.Write(Pattern(64)); }, [](Port&) {}},
        {"wait", [](Port& p) { SetMask(p, SERIAL_EV_RXCHAR); }, Wait,
         [](Port& p) { p.Device([](usbpipe::Device& d) { d.Inject(Pattern(1)); }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s;
        s.faults = kAllFaults;
        s.setUp = c.setUp;
        s.ops = {c.issue, [](Port& p) { p.CancelAll(); }, c.complete};
        Check(s, "pct", 300);
    }
}

TEST(Race, CleanupAgainstThePurgesResumeOfTransmit) {
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "async" : "sync");
        Scenario s;
        s.faults = kAllFaults;
        s.stack = Transmit(async);
        s.completedWritesMayBeCut = async;
        s.ops = {[](Port& p) { p.Write(Pattern(300)); },
                 [](Port& p) { p.Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT}); },
                 [](Port& p) { p.Close(); }};
        s.check = NothingAtTheDevice;
        Check(s, "random", 300);
    }
}

// A device with more bytes than the reader's sender takes in one pass (16 reads): the poll DPC
// sends the rest while a power-down stops the reader. A sender that passed its check before the
// stop flag must be waited out before the abort, or the abort goes first and the stop waits for
// ever on the read sent after it. No byte is lost: all are read after the power-up. No faults:
// one ends the stream before the window it has to reach.
TEST(Race, PowerDownAgainstThePollDpcsRead) {
    constexpr ULONG kBytes = 1100;  // past 16 reads of one 64-byte packet
    Scenario s;
    s.setUp = [](Port& p) { SetTimeouts(p, 0, 20, 0); };
    s.ops = {[](Port& p) { p.Device([](usbpipe::Device& d) { d.Inject(Pattern(kBytes)); }); },
             [](Port& p) { p.PowerDown(); }};
    s.check = [](Port& p) {
        NTSTATUS up = p.PowerUp();
        if (!NT_SUCCESS(up)) return "the power-up failed with " + std::to_string(up);
        auto read = p.file->Read(kBytes);
        if (read.Data() != Pattern(kBytes))
            return "after the power-up a read got " + std::to_string(read.Information()) + " of the " +
                   std::to_string(kBytes) + " bytes sent";
        return std::string();
    };
    // Every schedule with one preemption: the window needs only one.
    ExploreOptions o;
    o.strategy = "dfs";
    o.preemptions = 1;
    o.schedules = 1000;
    race::Explore(s, o);
}

// A write's TXEMPTY and a byte's RXCHAR posted at once, with a wait pending: each event reaches
// that wait or stays in the history for the next one, whoever clears the history meanwhile.
TEST(Race, EventsPostedAtOnceReachTheWaits) {
    Scenario s;
    s.setUp = [](Port& p) {
        SetMask(p, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
        Wait(p);
    };
    s.ops = {[](Port& p) { p.Write(Pattern(8)); },
             [](Port& p) { p.Device([](usbpipe::Device& d) { d.Inject(Pattern(1)); }); }};
    s.check = [](Port& p) {
        auto events = [](const emu::io::Request& r) {
            ULONG e = 0;
            if (r.Done() && NT_SUCCESS(r.Status()) && r.Data().size() >= sizeof e) std::memcpy(&e, r.Data().data(), sizeof e);
            return e;
        };
        ULONG seen = 0;
        for (auto& i : p.Requests()) seen |= events(i.request);
        if (p.Closed()) return std::string("the first wait was left pending");
        auto next = p.file->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        seen |= events(next);
        if (!next.Done()) next.Cancel();
        constexpr ULONG kBoth = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        if (seen != kBoth) return "the two waits saw events " + std::to_string(seen) + " of " + std::to_string(kBoth);
        return std::string();
    };
    Check(s, "dfs", 300);
}

}  // namespace
