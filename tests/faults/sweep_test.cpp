// Fault-injection sweeps. Each pool allocation site of the driver (by tag), each IRP it builds and
// each kind of request it sends to the lower driver is failed at its n-th occurrence, for
// n = 1, 2, ... until a port's lifetime no longer reaches the n-th. A lifetime: driver load,
// add, start, open, configuration through the Win32 API, traffic through the loopback plug,
// close, removal and unload. Every run must explain each failure by the fault, fail the call the
// fault hit where that call owes a failure, keep every byte it reported, leave no pool, complete
// every request once (the verifier) and never hang (the virtual clock); afterwards a second
// open, transfer and close must work.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emu/debug.h"
#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/win32.h"
#include "port.h"
#include "rig.h"
#include "usbpipe/usbpipe.h"

namespace {

using faults::OffClock;

using Bytes = std::vector<uint8_t>;
using usbpipe::RequestKind;

// What a failing lower request answers: the status a USB stack gives for a transfer that failed.
const NTSTATUS kRequestFault = STATUS_UNSUCCESSFUL;
// A sweep that still reaches its n-th occurrence here has lost its way (a lifetime looping).
const uint64_t kMaxOccurrences = 2000;

const ULONG kPoolTags[] = {FILTER_POOL_TAG, INIT_POOL_TAG, CREATE_POOL_TAG, RING_POOL_TAG};

enum class Site { Pool, Irp, Request };

struct Fault {
    Site site = Site::Pool;
    ULONG tag = 0;
    RequestKind kind = RequestKind::Create;
    uint64_t n = 0;  // 0: no fault

    std::string Kind() const {
        switch (site) {
        case Site::Pool:
            return "pool " + emu::pool::TagName(tag);
        case Site::Irp:
            return "irp";
        case Site::Request:
            return usbpipe::RequestKindName(kind);
        }
        return "?";
    }
};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

bool StartsWith(const Bytes& whole, const Bytes& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// One port lifetime with one fault armed.
class Lifetime {
public:
    Lifetime(bool txAsync, const Fault& fault) : txAsync_(txAsync), fault_(fault) {}

    // Returns whether the fault was injected.
    bool Run() {
        emu::pool::Reset();
        if (fault_.site == Site::Pool) emu::pool::FailNthWithTag(fault_.tag, fault_.n);

        lower_ = OffClock([] { return emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry); });
        EXPECT_NE(lower_, nullptr);
        NTSTATUS loaded = STATUS_SUCCESS;
        vcom_ = OffClock([&] { return emu::pnp::LoadDriver("vcom", DriverEntry, &loaded); });
        if (!vcom_) {
            Explain(false, "driver load", static_cast<DWORD>(loaded));
        } else if (Add() && Start()) {
            // IRP faults only after the start: the PnP manager's own requests must not fail.
            if (fault_.site == Site::Irp) {
                emu::io::FailNthIrpAllocation(fault_.n);
                irpArmed_ = true;
            }
            UsePort(false);
        }
        bool fired = Disarm();

        // The driver must still serve a port: the same device where it is still there, else a
        // new one (the failed one is removed first).
        if (!started_) {
            Unplug();
            if (!vcom_) vcom_ = OffClock([] { return emu::pnp::LoadDriver("vcom", DriverEntry); });
            EXPECT_TRUE(Add() && Start()) << "the driver serves no new device after the fault";
        }
        if (started_) UsePort(true);
        Unplug();
        OffClock([&] {
            emu::pnp::UnloadDriver(vcom_);  // reports pool left, per tag
            emu::pnp::UnloadDriver(lower_);
            return 0;
        });
        return fired;
    }

private:
    // A new device model, taken by the next AddDevice; a request fault is armed on the first.
    bool Add() {
        // Variant 3; the sweep compares the wire with what was written.
        device_ = usbpipe::Device::Create({.variant = 3, .recordTx = true});
        if (fault_.site == Site::Request && !requestArmed_) {
            device_->FailNthRequest(fault_.kind, fault_.n, kRequestFault);
            requestArmed_ = true;
        }
        std::map<std::u16string, emu::pnp::HardwareValue> values;
        values.emplace(u"PortName", emu::pnp::HardwareValue::String(u"COM7"));
        values.emplace(u"EndPointCaps", emu::pnp::HardwareValue::Dword(3));
        values.emplace(u"TxAsync", emu::pnp::HardwareValue::Dword(txAsync_ ? 1 : 0));
        NTSTATUS added = STATUS_SUCCESS;
        bool before = Fired();
        node_ = OffClock([&] {
            return emu::pnp::DeviceNode::Create("USB\\VID_1234&PID_5678\\0001", values, {lower_, vcom_}, &added);
        });
        device_->SetLoopback(true);
        bool ok = NT_SUCCESS(added);
        Owe(before, ok, "add", fault_.site == Site::Pool && fault_.tag == RING_POOL_TAG);  // the transmit buffer
        Explain(ok, "add", static_cast<DWORD>(added), before);
        return ok;
    }

    bool Start() {
        bool before = Fired();
        NTSTATUS status = OffClock([&] { return node_->Start(); });
        started_ = NT_SUCCESS(status);
        Explain(started_, "start", static_cast<DWORD>(status), before);
        return started_;
    }

    void Unplug() {
        if (node_) {
            OffClock([&] {
                if (!node_->Removed()) node_->Remove();
                node_.reset();
                return 0;
            });
        }
        device_.reset();
        started_ = false;
    }

    // Whether the fault has been injected so far. An armed IRP fault cannot be asked without
    // consuming allocations, so it counts as possibly injected.
    bool Fired() const {
        if (disarmed_) return firedAtDisarm_;
        switch (fault_.site) {
        case Site::Pool: {
            auto counts = emu::pool::AllocationCounts();
            auto it = counts.find(fault_.tag);
            return fault_.n != 0 && it != counts.end() && it->second >= fault_.n;
        }
        case Site::Irp:
            return irpArmed_;
        case Site::Request:
            return device_ && fault_.n != 0 && device_->NthRequestFailed(fault_.kind);
        }
        return false;
    }

    // Ends the fault; returns whether it was injected.
    bool Disarm() {
        bool fired = Fired();
        emu::pool::ClearFaults();
        if (fault_.site == Site::Irp && irpArmed_) {
            // If the n-th is still to come, one of the next n allocations fails.
            fired = true;
            for (uint64_t i = 0; i < fault_.n && fired; ++i) {
                PIRP irp = IoAllocateIrp(1, FALSE);
                if (!irp) fired = false;
                else IoFreeIrp(irp);
            }
            emu::io::FailNthIrpAllocation(0);
            irpArmed_ = false;
        }
        if (device_) device_->FailNthRequest(fault_.kind, 0, STATUS_SUCCESS);
        disarmed_ = true;
        firedAtDisarm_ = fired;
        return fired;
    }

    // A failure must come from the fault, injected during the call (or an IRP fault armed).
    void Explain(bool ok, const char* what, DWORD error, bool firedBefore = false) {
        if (ok) return;
        bool during = !firedBefore && Fired();
        if (!during && !irpArmed_)
            ADD_FAILURE() << what << " failed (" << std::hex << error << std::dec << ") with no fault injected in it";
    }
    // A call the fault hit must fail where it owes a failure.
    void Owe(bool firedBefore, bool ok, const char* what, bool owes) {
        if (owes && ok && !firedBefore && Fired()) ADD_FAILURE() << what << " reported success though the fault failed it";
    }

    // A Win32 call of the lifetime.
    bool Call(const char* what, bool owes, const std::function<BOOL()>& call) {
        bool before = Fired();
        bool ok = call() != FALSE;
        DWORD error = ok ? 0 : GetLastError();
        Owe(before, ok, what, owes);
        Explain(ok, what, error, before);
        return ok;
    }

    bool RequestFault(RequestKind kind) const { return fault_.site == Site::Request && fault_.kind == kind; }

    void UsePort(bool again) {
        SCOPED_TRACE(again ? "second use of the port" : "use of the port under the fault");
        const bool openOwes = RequestFault(RequestKind::Create) ||
                              (fault_.site == Site::Pool && (fault_.tag == RING_POOL_TAG || fault_.tag == CREATE_POOL_TAG));
        HANDLE h = INVALID_HANDLE_VALUE;
        if (!Call("open", openOwes, [&] {
                h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                return h != INVALID_HANDLE_VALUE;
            }))
            return;

        const bool commandOwes = RequestFault(RequestKind::Command);
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        if (Call("GetCommState", false, [&] { return GetCommState(h, &dcb); })) {
            dcb.BaudRate = CBR_115200;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
            dcb.fBinary = TRUE;
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutxDsrFlow = FALSE;
            dcb.fOutX = FALSE;
            dcb.fInX = FALSE;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            // Not owed: this variant's line settings and the flow characters are best effort (the
            // error-character command's status is the request's).
            Call("SetCommState", false, [&] { return SetCommState(h, &dcb); });
        }
        COMMTIMEOUTS t = {0, 0, 100, 0, 1000};  // reads: full or 100 ms; writes: 1 s
        Call("SetCommTimeouts", false, [&] { return SetCommTimeouts(h, &t); });
        // Grows the receive buffer: a new ring.
        Call("SetupComm", fault_.site == Site::Pool && fault_.tag == RING_POOL_TAG,
             [&] { return SetupComm(h, 8192, 4096); });
        Call("EscapeCommFunction CLRDTR", commandOwes, [&] { return EscapeCommFunction(h, CLRDTR); });
        Call("EscapeCommFunction SETDTR", commandOwes, [&] { return EscapeCommFunction(h, SETDTR); });
        Call("EscapeCommFunction SETRTS", commandOwes, [&] { return EscapeCommFunction(h, SETRTS); });
        Call("SetCommMask", false, [&] { return SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR); });
        DWORD modem = 0;
        Call("GetCommModemStatus", false, [&] { return GetCommModemStatus(h, &modem); });
        Call("PurgeComm", false, [&] { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR); });
        device_->ClearTx();

        // Traffic: what each write reports must be on the wire, and what comes back through the
        // plug must be what went out, in order.
        const bool writeOwes = RequestFault(RequestKind::Write) && !txAsync_;
        Bytes reported;
        size_t total = 0;
        uint8_t seed = 1;
        for (size_t n : {200, 64, 1, 130}) {
            Bytes out = Pattern(n, seed++);
            total += n;
            DWORD written = 0;
            bool ok = Call("WriteFile", writeOwes, [&] {
                return WriteFile(h, out.data(), static_cast<DWORD>(n), &written, nullptr) && written == n;
            });
            if (!ok) {
                EXPECT_LE(written, n);
            }
            reported.insert(reported.end(), out.begin(), out.begin() + std::min<size_t>(written, n));
        }
        Call("FlushFileBuffers", false, [&] { return FlushFileBuffers(h); });
        Bytes in;
        for (;;) {
            uint8_t buf[512];
            DWORD got = 0;
            if (!Call("ReadFile", false, [&] { return ReadFile(h, buf, sizeof buf, &got, nullptr); })) break;
            if (got == 0) break;
            in.insert(in.end(), buf, buf + got);
        }
        Bytes wire = device_->TxStream();
        // Asynchronous writes complete once buffered; a transfer that fails later loses its
        // bytes without a write to report it to.
        const bool lossUnreported = txAsync_ && RequestFault(RequestKind::Write) && Fired();
        if (!lossUnreported) {
            EXPECT_TRUE(wire == reported) << "the writes reported " << reported.size() << " bytes sent, the wire carried "
                                          << wire.size();
        }
        EXPECT_TRUE(StartsWith(wire, in)) << "read back " << in.size() << " bytes that are not what was sent";
        // Only a reader that could not build its next request stops (until the next open).
        if (!irpArmed_) {
            EXPECT_EQ(in.size(), wire.size()) << "bytes sent through the loopback did not come back";
        }
        if (again) {
            EXPECT_EQ(wire.size(), total) << "the second use lost bytes";
        }
        DWORD errors = 0;
        COMSTAT stat = {};
        Call("ClearCommError", false, [&] { return ClearCommError(h, &errors, &stat); });
        Call("CloseHandle", false, [&] { return CloseHandle(h); });
    }

    bool txAsync_;
    Fault fault_;
    bool irpArmed_ = false;
    bool requestArmed_ = false;
    bool disarmed_ = false;
    bool firedAtDisarm_ = false;
    bool started_ = false;
    std::shared_ptr<usbpipe::Device> device_;
    PDRIVER_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT vcom_ = nullptr;
    std::unique_ptr<emu::pnp::DeviceNode> node_;
};

struct Figures {
    uint64_t runs = 0;
    uint64_t injected = 0;
    std::map<std::string, uint64_t> perKind;  // in sweep order below
    std::vector<std::string> order;
};

class FaultSweep : public ::testing::TestWithParam<bool> {  // true: asynchronous transmit
protected:
    // To look at one run: VCOM_FAULT_RUN=n runs only occurrence n of each sweep, and
    // VCOM_FAULT_TRACE=1 puts the driver's trace on stderr.
    void SetUp() override {
        if (const char* trace = std::getenv("VCOM_FAULT_TRACE"); trace && *trace == '1') {
            VcomTraceMask = 0xFFFFFFFF;
            emu::debug::SetSink([](ULONG, ULONG, std::string_view text) {
                std::fprintf(stderr, "%.*s", static_cast<int>(text.size()), text.data());
            });
        }
        emu::win32::DriveClockFromThisThread();
    }
    void TearDown() override {
        emu::win32::StopDrivingClock();
        emu::debug::SetSink({});
        Report();
    }

    // Fails the fault's 1st, 2nd, ... occurrence until a lifetime no longer reaches it.
    void Sweep(Fault fault) {
        const std::string kind = fault.Kind();
        figures_.order.push_back(kind);
        figures_.perKind[kind] = 0;
        uint64_t only = 0;
        if (const char* run = std::getenv("VCOM_FAULT_RUN")) only = std::strtoull(run, nullptr, 10);
        for (fault.n = only ? only : 1; fault.n <= kMaxOccurrences; ++fault.n) {
            SCOPED_TRACE(kind + " failing at occurrence " + std::to_string(fault.n));
            bool fired = Lifetime(GetParam(), fault).Run();
            figures_.runs++;
            if (!fired) return;
            figures_.injected++;
            figures_.perKind[kind]++;
            if (only || HasFatalFailure()) return;
        }
        ADD_FAILURE() << kind << ": the lifetime still reaches occurrence " << kMaxOccurrences;
    }

    void Report() {
        std::ostringstream line;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        line << "fault sweep " << info->name() << " (" << (GetParam() ? "async" : "sync") << " transmit): "
             << figures_.runs << " runs, " << figures_.injected << " faults injected (";
        for (size_t i = 0; i < figures_.order.size(); ++i)
            line << (i ? ", " : "") << figures_.order[i] << " " << figures_.perKind[figures_.order[i]];
        line << ")";
        std::printf("%s\n", line.str().c_str());
        if (const char* path = std::getenv("VCOM_FAULT_FIGURES"); path && *path) {
            std::ofstream(path, std::ios::app) << line.str() << "\n";
        }
    }

    Figures figures_;
};

// Every pool allocation of the driver, failed in turn, is unwound or refused cleanly.
TEST_P(FaultSweep, PoolAllocations) {
    for (ULONG tag : kPoolTags) {
        Fault f;
        f.site = Site::Pool;
        f.tag = tag;
        Sweep(f);
    }
}

// Every IRP the driver builds while the port is in use, failed in turn, is survived cleanly.
TEST_P(FaultSweep, IrpAllocations) {
    Fault f;
    f.site = Site::Irp;
    Sweep(f);
}

// Every request to the lower driver, of each kind, failed in turn, is reported or survived cleanly.
TEST_P(FaultSweep, LowerRequests) {
    for (int k = 0; k < usbpipe::kRequestKindCount; ++k) {
        Fault f;
        f.site = Site::Request;
        f.kind = static_cast<RequestKind>(k);
        Sweep(f);
    }
}

INSTANTIATE_TEST_SUITE_P(Transmit, FaultSweep, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "AsyncTx" : "SyncTx"; });

}  // namespace
