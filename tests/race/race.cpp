// The race scenario runner: a fresh port per schedule, the operations on threads of their own
// under the deterministic scheduler, then the invariants.
#include "race.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdlib>

#include "emu/testing.h"
#include "emu/verifier.h"

namespace race {

void Port::Keep(std::string what, const emu::io::Request& r, vcomtest::Bytes written) {
    std::lock_guard<std::mutex> g(m_);
    issued_.push_back({std::move(what), r, std::move(written)});
}

bool Port::Closed() {
    std::lock_guard<std::mutex> g(m_);
    return closed_ || !file;
}

// The check of the handle and the request's entry into the file's outstanding list are one step
// (the handle table's reference); the driver's dispatch routine, under its own scope, is not.
void Port::Read(ULONG length) {
    emu::sched::AtomicSection atomic;
    if (!Closed()) Keep("read", file->ReadAsync(length));
}

void Port::Write(const vcomtest::Bytes& bytes) {
    emu::sched::AtomicSection atomic;
    if (!Closed()) Keep("write", file->WriteAsync(bytes.data(), static_cast<ULONG>(bytes.size())), bytes);
}

void Port::Ioctl(ULONG code, const void* in, ULONG inLength, ULONG outLength) {
    emu::sched::AtomicSection atomic;
    if (!Closed()) Keep("ioctl 0x" + std::to_string((code >> 2) & 0xfff), file->IoctlAsync(code, in, inLength, outLength));
}

void Port::CancelAll() {
    for (auto& i : Requests()) i.request.Cancel();
}

void Port::Device(const std::function<void(usbpipe::Device&)>& step) {
    emu::sched::AtomicSection atomic;
    step(stack.dev());
}

// The handle goes first; requests already past it keep the file object until they complete.
void Port::Close() {
    {
        std::lock_guard<std::mutex> g(m_);
        if (closed_ || !file) return;
        closed_ = true;
    }
    NTSTATUS status = file->Close();
    // A close reports the failure of what it sent down (as the fault sweeps allow) only with a
    // fault drawn; it still ends the handle.
    if (!NT_SUCCESS(status) && emu::sched::FaultsDrawn() == 0) Note("close failed with " + std::to_string(status));
    CheckStop("the last close", -1, STATUS_SUCCESS);
}

int Port::StartsBegun() {
    std::lock_guard<std::mutex> g(m_);
    return starts_;
}

NTSTATUS Port::PowerDown() {
    int starts = StartsBegun();
    NTSTATUS status = stack.node().SetDevicePower(PowerDeviceD3);
    CheckStop("a D3", starts, status);
    return status;
}

NTSTATUS Port::PowerUp() {
    {
        std::lock_guard<std::mutex> g(m_);
        starts_++;
    }
    return stack.node().SetDevicePower(PowerDeviceD0);
}

NTSTATUS Port::Stop() {
    int starts = StartsBegun();
    NTSTATUS status = stack.node().QueryStop();
    if (NT_SUCCESS(status)) status = stack.node().Stop();
    CheckStop("a PnP stop", starts, status);
    return status;
}

NTSTATUS Port::Start() {
    {
        std::lock_guard<std::mutex> g(m_);
        starts_++;
    }
    return stack.node().Start();
}

NTSTATUS Port::SurpriseRemoval() {
    int starts = StartsBegun();
    NTSTATUS status = stack.node().SurpriseRemoval();
    CheckStop("a surprise removal", starts, status);
    return status;
}

// One step with nothing else running. A power-up begun meanwhile may restart what a D3 or a
// removal ended; nothing restarts a closed port (`starts` -1), and no request is left after it.
void Port::CheckStop(const char* what, int starts, NTSTATUS status) {
    emu::sched::AtomicSection atomic;
    if (!NT_SUCCESS(status) || (starts >= 0 && StartsBegun() != starts)) return;
    std::string left = Leftovers(starts < 0);
    if (!left.empty()) Note(std::string("after ") + what + ": " + left);
}

std::string Port::Leftovers(bool requests) {
    std::string out;
    auto& dev = stack.dev();
    for (int pipe : {usbpipe::kTx, usbpipe::kRx, usbpipe::kStatus})
        if (size_t n = dev.Pending(static_cast<usbpipe::Pipe>(pipe)))
            out += std::to_string(n) + " transfer(s) at the device on pipe " + std::to_string(pipe) + "; ";
    if (size_t n = dev.HeldCount()) out += std::to_string(n) + " completion(s) held by the device; ";
    if (!ext) return out;
    struct Range {
        const char* name;
        const void* base;
        size_t size;
    };
    std::vector<Range> ranges;
    if (requests) {
        ranges.push_back({"the port", ext, sizeof(PortExtension)});
    } else {
        ranges = {{"the reader's poll timer", &ext->RxPollTimer, sizeof(KTIMER)},
                  {"the reader's poll DPC", &ext->RxPollDpc, sizeof(KDPC)},
                  {"the status poller's timer", &ext->StatusPollTimer, sizeof(KTIMER)},
                  {"the status poller's DPC", &ext->StatusPollDpc, sizeof(KDPC)},
                  {"the transmitter's kick timer", &ext->TxKickTimer, sizeof(KTIMER)},
                  {"the transmitter's kick DPC", &ext->TxKickDpc, sizeof(KDPC)}};
    }
    for (auto& r : ranges)
        for (auto& d : emu::sched::ArmedIn(r.base, r.size)) out += std::string(r.name) + ": " + d + "; ";
    return out;
}

void Port::Note(std::string what) {
    std::lock_guard<std::mutex> g(m_);
    notes_.push_back(std::move(what));
}

std::vector<Port::Issued> Port::Requests() {
    std::lock_guard<std::mutex> g(m_);
    return issued_;
}

std::vector<std::string> Port::Notes() {
    std::lock_guard<std::mutex> g(m_);
    return notes_;
}

namespace {

// A schedule that crashes the process still says how to replay it.
void OnCrash(int sig) {
    const char* text = emu::sched::CurrentSchedule();
    if (text[0]) {
        const char head[] = "\ncrashed in the schedule replayed by ";
        ssize_t ignored = write(2, head, sizeof head - 1);
        ignored = write(2, text, std::strlen(text));
        ignored = write(2, "\n", 1);
        (void)ignored;
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

[[maybe_unused]] const bool crashReporter = [] {
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) std::signal(sig, OnCrash);
    return true;
}();

bool AllDone(Port& port) {
    auto issued = port.Requests();
    return std::all_of(issued.begin(), issued.end(), [](auto& i) { return i.request.Done(); });
}

// Bytes that a write reported sent must be on the wire, in the order of their write.
std::string CheckWrites(Port& port) {
    auto wire = port.stack.dev().TxStream();
    auto at = wire.begin();
    for (auto& i : port.Requests()) {
        if (i.written.empty() || !i.request.Done() || !NT_SUCCESS(i.request.Status())) continue;
        size_t n = std::min<size_t>(i.request.Information(), i.written.size());
        auto found = std::search(at, wire.end(), i.written.begin(), i.written.begin() + static_cast<long>(n));
        if (found == wire.end() && n > 0)
            return "a write reported " + std::to_string(n) + " bytes sent that are not on the wire";
        at = found + static_cast<long>(n);
    }
    return {};
}

}  // namespace

bool Runs(const Scenario& scenario) {
    if (!scenario.knownFault || std::getenv("VCOM_KNOWN_FAULTS")) return true;
    std::printf("[ skipped  ] finds a fault not mended yet: %s (VCOM_KNOWN_FAULTS=1 runs it)\n", scenario.knownFault);
    return false;
}

emu::sched::ExploreResult Explore(const Scenario& scenario, emu::sched::ExploreOptions options) {
    options.faults = scenario.faults;
    options = emu::sched::FromEnvironment(options);
    emu::verifier::ExpectFaults faults;
    std::unique_ptr<Port> port;
    auto faultText = [&] {
        std::string out;
        for (auto& r : faults.Take()) out += std::string("verifier: ") + emu::verifier::FaultName(r.fault) + ": " + r.message + "\n";
        return out;
    };
    emu::sched::Schedule schedule;
    schedule.setUp = [&] {
        port = std::make_unique<Port>(scenario.stack);
        if (!NT_SUCCESS(port->stack.AddStatus())) port->Note("the device could not be added: " + std::to_string(port->stack.AddStatus()));
        else {
            port->ext = port->stack.Ext();
            if (!NT_SUCCESS(port->stack.Open(&port->file))) port->Note("the open before the race failed");
            else if (scenario.setUp) scenario.setUp(*port);
        }
        emu::RunUntilIdle();
    };
    schedule.run = [&] {
        {
            std::vector<emu::Thread> threads;
            for (size_t i = 0; i < scenario.ops.size(); ++i)
                threads.emplace_back([&, i] { scenario.ops[i](*port); }, "op" + std::to_string(i));
        }
        // Time-outs and the device finish what they may; a request may wait for a close.
        emu::AdvanceTimeUntil([&] { return AllDone(*port); }, 50000000);
        return faultText();
    };
    schedule.tearDown = [&] {
        std::string out;
        if (!AllDone(*port)) {
            port->Close();
            emu::AdvanceTimeUntil([&] { return AllDone(*port); }, 50000000);
        }
        for (auto& i : port->Requests())
            if (!i.request.Done()) out += i.what + " left pending after its file was closed\n";
        for (auto& n : port->Notes()) out += n + "\n";
        if (scenario.check) {
            std::string c = scenario.check(*port);
            if (!c.empty()) out += c + "\n";
        }
        std::string w = scenario.completedWritesMayBeCut ? std::string() : CheckWrites(*port);
        if (!w.empty()) out += w + "\n";
        port->Close();
        port->file.reset();
        port.reset();  // removes the device and unloads both drivers
        emu::RunUntilIdle();
        emu::testing::RunEndOfTestChecks();
        return out + faultText();
    };
    auto result = emu::sched::Explore(options, schedule);
    if (result.failed) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        ADD_FAILURE() << result.failure << "after " << result.schedules << " schedule(s); replay with\n  "
                      << result.replay << " build/debug/tests/race_tests --gtest_filter=" << test->test_suite_name()
                      << "." << test->name() << "\nthe schedule's last decisions (context that ran):\n"
                      << result.trace;
    }
    std::printf("[ explored ] %d schedule(s)%s", result.schedules, result.exhausted ? ", every one within the bound" : "");
    if (options.faults && options.faultBudget > 0) std::printf(", %d drew faults", result.faulted);
    std::printf("\n");
    return result;
}

}  // namespace race
