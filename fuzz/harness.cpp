#include "harness.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "port.h"

namespace vcomfuzz {

uint8_t Input::U8() {
    if (n_ == 0) return 0;
    n_--;
    return *p_++;
}
uint16_t Input::U16() { return (uint16_t)(U8() | U8() << 8); }
uint32_t Input::U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
std::vector<uint8_t> Input::Bytes(size_t count) {
    if (count > n_) count = n_;
    std::vector<uint8_t> b(p_, p_ + count);
    p_ += count;
    n_ -= count;
    return b;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "vcomfuzz: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

// Every thread of the process on the processor the fuzzer started on. The emulation's contexts
// hand the work to one another (the caller, the DPC processors, the device thread) rather than
// run side by side; on two processors each hand-off also waits for the other one to be
// scheduled, and on a loaded machine it is that waiting that bounds the rate.
void PinToOneProcessor() {
    const char* pin = std::getenv("VCOM_FUZZ_PIN");
    if (pin && std::strcmp(pin, "0") == 0) return;
    int cpu = sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    std::filesystem::path tasks = "/proc/self/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
        sched_setaffinity(std::atoi(task.path().filename().c_str()), sizeof set, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void OnFault(const emu::verifier::Report& r) {
    Fail(std::string("verifier: ") + emu::verifier::FaultName(r.fault) + ": " + r.message);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PinToOneProcessor();
    return 0;
}

Round::Round() {
    emu::verifier::SetFailHandler(OnFault);
    emu::verifier::Reset();
    emu::SetClockMode(emu::ClockMode::Virtual);
    emu::testing::RunStartOfTestHooks();
}

// What the emulation keeps from one input to the next is dropped at the end of the input, not
// at the start of the next: an input that frees less than it allocates makes libFuzzer run it
// again and scan the heap for leaks.
Round::~Round() {
    emu::RunUntilIdle();
    emu::testing::RunEndOfTestChecks();
    emu::verifier::Reset();
    emu::testing::RunStartOfTestHooks();
}

Stack::Stack(const usbpipe::Config& config, const std::map<std::u16string, emu::pnp::HardwareValue>& values) {
    device_ = usbpipe::Device::Create(config);
    lower_ = emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry);
    vcom_ = emu::pnp::LoadDriver("vcom", DriverEntry);
    if (!lower_ || !vcom_) Fail("a driver did not load");
    node_ = emu::pnp::DeviceNode::Create("USB\\VID_1234&PID_5678\\0001", values, {lower_, vcom_}, &added_);
}

Stack::~Stack() {
    if (file_) {
        std::vector<emu::io::Request> none;
        Close(none);
    }
    Remove();
    node_.reset();
    device_.reset();
    emu::pnp::UnloadDriver(vcom_);
    emu::pnp::UnloadDriver(lower_);
}

bool Stack::Added() const { return NT_SUCCESS(added_); }

NTSTATUS Stack::Start() {
    NTSTATUS status = node_->Start();
    started_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS Stack::Open() {
    auto name = emu::io::DeviceName(node_->Top());
    if (!name) Fail("the port has no device name");
    return emu::io::File::Open(*name, &file_);
}

void Stack::Advance(uint32_t ms) { emu::AdvanceTime(ms); }

void Stack::Close(std::vector<emu::io::Request>& requests) {
    if (!file_) return;
    Settle(requests);
    file_->Close();
    file_.reset();
}

void Stack::Settle(std::vector<emu::io::Request>& requests) {
    if (!file_) return;
    file_->CancelAll();
    // Cancelled requests may complete from a DPC or the device thread; a timer may be involved.
    auto allDone = [&] {
        for (auto& r : requests)
            if (!r.Done()) return false;
        return true;
    };
    emu::AdvanceTimeUntil(allDone, 60LL * 10000000);
    if (!allDone()) Fail("a cancelled request did not complete within a minute:\n" + emu::DumpState());
}

void Stack::Remove() {
    if (node_ && Added() && !node_->Removed()) node_->Remove();
}

}  // namespace vcomfuzz
