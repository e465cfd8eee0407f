// Faults a test injects and the knobs that make the device as unkind as real hardware.
#include "model.h"

#include <emu/explore.h>

namespace usbpipe {

// A knob that is off leaves its turn to an explored schedule, which may draw it as a fault.
bool Model::OneInLocked(const unsigned& knob) {
    using emu::sched::FaultKind;
    unsigned n = knob;
    if (n == 0) {
        FaultKind kind = &knob == &knobs.partialFailOneIn ? FaultKind::DevicePartial
                         : &knob == &knobs.inlineOneIn    ? FaultKind::DeviceInline
                                                          : FaultKind::DevicePassive;
        return emu::sched::DrawFault(kind);
    }
    return n == 1 || rng() % n == 0;
}

// Counts a request of the kind; true (with the status) when it is the one armed to fail.
bool Model::TakeNthFailureLocked(RequestKind kind, NTSTATUS* status) {
    int k = static_cast<int>(kind);
    if (++requestCount[k] != failRequestAt[k]) return false;
    failRequestAt[k] = 0;
    requestFailed[k] = true;
    *status = failRequestStatus[k];
    return true;
}

// Fails a request as a failed transfer ends: where the knobs send completions, by default from
// the device thread.
void Model::FailAsTransferLocked(PIRP irp, NTSTATUS status) {
    IoMarkIrpPending(irp);
    FinishLocked(irp, status, 0);
}

// A transfer fault configured for the pipe, consumed by this transfer.
bool Model::TakeFaultLocked(Pipe p, NTSTATUS* status) {
    if (failCount[p] == 0) return false;
    if (failCount[p] > 0) failCount[p]--;
    *status = failStatus[p];
    return true;
}

// The outage begins with the first status read after the knobs were set.
bool Model::StatusOutageLocked() {
    if (knobs.statusOutageMs == 0) return false;
    LONGLONG now = emu::Now();
    if (statusOutageEnd < 0) statusOutageEnd = now + static_cast<LONGLONG>(knobs.statusOutageMs) * 10000;
    if (now >= statusOutageEnd) return false;
    statusReadsFailed++;
    return true;
}

size_t Model::UnplugCutLocked(size_t want, bool* cut) {
    *cut = false;
    if (unplugged) return want;
    if (knobs.unplugAfterBytes == 0) {
        if (!emu::sched::DrawFault(emu::sched::FaultKind::DeviceUnplug)) return want;
        *cut = true;
        return want == 0 ? 0 : static_cast<size_t>(rng() % want);
    }
    uint64_t left = knobs.unplugAfterBytes > moved ? knobs.unplugAfterBytes - moved : 0;
    if (want <= left) return want;
    *cut = true;
    return static_cast<size_t>(left);
}

size_t Model::PartialFailLocked(size_t want) {
    if (want == 0 || !OneInLocked(knobs.partialFailOneIn)) return 0;
    partialFailures++;
    return want < 2 ? want : 1 + static_cast<size_t>(rng() % (want - 1));
}

void Model::UnplugLocked() {
    unplugged = true;
    counting = false;
    FailAllLocked(STATUS_DEVICE_NOT_CONNECTED);
    for (auto& d : held) FinishHereLocked(d.irp, STATUS_DEVICE_NOT_CONNECTED);
    held.clear();
}

// ---- knobs -----------------------------------------------------------------------------------

Knobs Knobs::Draw(uint64_t seed, bool failures) {
    std::mt19937_64 r(seed * 0x9E3779B97F4A7C15ull + 1);
    auto chance = [&r](unsigned in) { return r() % in == 0; };
    auto pick = [&r](std::initializer_list<unsigned> v) { return *(v.begin() + r() % v.size()); };
    Knobs k;
    k.seed = seed;
    if (chance(2)) k.inlineOneIn = pick({1, 2, 4});
    if (chance(2)) k.passiveOneIn = pick({1, 2});
    k.replyToCommands = chance(2);
    k.noHardwareFlow = chance(4);
    k.loopbackRing = chance(2);
    if (chance(4)) k.statusOutageMs = pick({20, 100, 500});
    if (failures) {
        if (chance(3)) k.partialFailOneIn = pick({4, 16, 64});
        if (chance(4)) k.unplugAfterBytes = 1 + r() % 20000;
    }
    return k;
}

std::string Knobs::Describe() const {
    std::string s;
    auto add = [&s](const std::string& part) { s += (s.empty() ? "" : " ") + part; };
    if (inlineOneIn) add("inline=1/" + std::to_string(inlineOneIn));
    if (passiveOneIn) add("passive=1/" + std::to_string(passiveOneIn));
    if (partialFailOneIn) add("partial-fail=1/" + std::to_string(partialFailOneIn));
    if (replyToCommands) add("replies");
    if (noHardwareFlow) add("no-rts-cts");
    if (loopbackRing) add("dtr-to-ri");
    if (statusOutageMs) add("status-outage=" + std::to_string(statusOutageMs) + "ms");
    if (unplugAfterBytes) add("unplug-after=" + std::to_string(unplugAfterBytes));
    return s.empty() ? "none" : s;
}

void Device::SetKnobs(const Knobs& knobs) {
    Model* m = model_.get();
    Section s(*m);
    m->knobs = knobs;
    m->knobsSet = knobs.Describe() != "none";
    m->rng.seed(knobs.seed);
    m->moved = 0;
    m->statusOutageEnd = -1;
    m->OnDeviceLocked([m] { m->ServiceStatusLocked(); });  // the plug's wiring may have changed
}

Knobs Device::GetKnobs() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->knobs;
}

uint64_t Device::StatusReadsFailed() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->statusReadsFailed;
}

uint64_t Device::PartialFailures() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->partialFailures;
}

// ---- faults ----------------------------------------------------------------------------------

void Device::FailTransfers(Pipe pipe, int count, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->failCount[pipe] = count;
    model_->failStatus[pipe] = status;
}

void Device::SetCompletionDelay(LONGLONG delay100ns) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->delay = delay100ns;
}

void Device::HoldCompletions(bool hold) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->hold = hold;
}

void Device::StallTx(bool stall) {
    {
        std::lock_guard<std::mutex> g(model_->mu);
        model_->txStalled = stall;
        if (stall) return;
    }
    SendStalled(SIZE_MAX);
}

void Device::SendStalled(size_t count) {
    Model* m = model_.get();
    Section s(*m);
    while (count > 0 && !m->stalledTx.empty()) {
        auto [id, bytes] = std::move(m->stalledTx.front());
        m->stalledTx.pop_front();
        for (auto it = m->pending[kTx].begin(); it != m->pending[kTx].end(); ++it) {
            if (it->id != id) continue;
            PIRP irp = it->irp;
            if (m->ClaimLocked(it, kTx)) {
                m->RecordTxLocked(bytes.data(), bytes.size());
                m->moved += bytes.size();
                if (m->loopback) m->ArriveLocked(bytes);
                m->FinishLocked(irp, STATUS_SUCCESS, bytes.size());
                count--;
            }
            break;
        }
    }
}

void Device::ReleaseHeld() {
    std::vector<Done> held;
    {
        std::lock_guard<std::mutex> g(model_->mu);
        held.swap(model_->held);
    }
    for (const auto& d : held) Model::CompleteAt(d, DISPATCH_LEVEL);
}

size_t Device::HeldCount() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->held.size();
}

void Device::SetStatusPipeInvalid(bool invalid) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->statusInvalid = invalid;
}

void Device::DropArrivingByte(uint64_t index) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->dropAt = model_->arrived + index;
}

void Device::FailOpen(Pipe pipe, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->openFailure[pipe] = status;
}

const char* RequestKindName(RequestKind kind) {
    static const char* const names[kRequestKindCount] = {"create", "close",   "reset", "abort",
                                                         "query",  "command", "read",  "write"};
    int k = static_cast<int>(kind);
    return k >= 0 && k < kRequestKindCount ? names[k] : "?";
}

void Device::FailNthRequest(RequestKind kind, uint64_t n, NTSTATUS status) {
    int k = static_cast<int>(kind);
    std::lock_guard<std::mutex> g(model_->mu);
    model_->failRequestAt[k] = n == 0 ? 0 : model_->requestCount[k] + n;
    model_->failRequestStatus[k] = status;
    model_->requestFailed[k] = false;
}

bool Device::NthRequestFailed(RequestKind kind) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->requestFailed[static_cast<int>(kind)];
}

uint64_t Device::RequestCount(RequestKind kind) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->requestCount[static_cast<int>(kind)];
}

void Device::Unplug() {
    Section s(*model_);
    model_->UnplugLocked();
}

bool Device::Unplugged() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->unplugged;
}

}  // namespace usbpipe
