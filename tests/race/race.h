// Race scenarios: operations run concurrently on one port under the deterministic scheduler, one
// schedule after another, and after each schedule the invariants every interleaving must keep.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/explore.h"
#include "emu/iomgr.h"
#include "stack.h"

namespace race {

// The port of one schedule and what its operations did.
class Port {
public:
    explicit Port(vcomtest::StackOptions options) : stack(std::move(options)) {}
    vcomtest::Stack stack;
    std::unique_ptr<emu::io::File> file;

    // Issue a request and keep it for the invariants (each must complete exactly once). Once
    // the file is closed there is no handle to issue it on: nothing is sent.
    void Read(ULONG length);
    void Write(const vcomtest::Bytes& bytes);
    void Ioctl(ULONG code, const void* in = nullptr, ULONG inLength = 0, ULONG outLength = 0);
    template <class T>
    void Set(ULONG code, const T& in) { Ioctl(code, &in, sizeof(T), 0); }
    void CancelAll();  // IoCancelIrp of every request still outstanding
    // A device-side step: atomic, as the device's own are.
    void Device(const std::function<void(usbpipe::Device&)>& step);
    void Close();
    bool Closed();
    // Power and PnP steps. Each stop of the port's activities (the last close, a D3, a PnP stop,
    // a surprise removal) is checked once it has completed: see Leftovers.
    NTSTATUS PowerDown();
    NTSTATUS PowerUp();
    NTSTATUS Stop();   // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE
    NTSTATUS Start();  // IRP_MN_START_DEVICE (a restart after a stop)
    NTSTATUS SurpriseRemoval();
    // What the port has left behind: transfers at the device (or completions it holds), and
    // timers of its reader, status poller and transmitter armed or their DPCs queued; with
    // `requests`, any timer or DPC of the port (once closed, no request has one left).
    std::string Leftovers(bool requests);
    PortExtension* ext = nullptr;  // noted at set-up: the device may be deleted meanwhile
    // A problem the operation saw; fails the schedule.
    void Note(std::string what);

    struct Issued {
        std::string what;
        emu::io::Request request;
        vcomtest::Bytes written;  // writes: the bytes given
    };
    std::vector<Issued> Requests();
    std::vector<std::string> Notes();

private:
    std::mutex m_;
    std::vector<Issued> issued_;
    std::vector<std::string> notes_;
    bool closed_ = false;
    int starts_ = 0;
    int StartsBegun();  // power-ups begun: a stop is checked only if none ran beside it
    // Checks a stop that began when `starts` power-ups had begun and ended with `status`.
    void CheckStop(const char* what, int starts, NTSTATUS status);
    void Keep(std::string what, const emu::io::Request& r, vcomtest::Bytes written = {});
};

struct Scenario {
    vcomtest::StackOptions stack;
    std::function<void(Port&)> setUp;              // free-running: open, configure
    std::vector<std::function<void(Port&)>> ops;   // each on a thread of its own
    std::function<std::string(Port&)> check;       // the scenario's own invariant, if any
    // A purge of transmit in asynchronous mode may drop bytes of writes already completed.
    bool completedWritesMayBeCut = false;
    // Faults its schedules draw (emu::sched::FaultBit of each kind; at most one a schedule unless
    // VCOM_SCHED says f=<n>): the invariants must hold with them too.
    uint32_t faults = 0;
    // A fault of the driver this scenario finds and that is not mended yet: the scenario is
    // skipped unless VCOM_KNOWN_FAULTS=1, so that the suite stays green until the mend lands.
    const char* knownFault = nullptr;
};

// True when `scenario` is to run; otherwise says why not.
bool Runs(const Scenario& scenario);

// Explores `scenario` with `options` (VCOM_SCHED and VCOM_SCHED_RUNS apply). A failing schedule
// fails the test with its replay command and its schedule.
emu::sched::ExploreResult Explore(const Scenario& scenario, emu::sched::ExploreOptions options);

}  // namespace race
