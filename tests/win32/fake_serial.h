// A small serial device driver of the tests' own, named COM9: it records every request the
// Win32 layer sends and answers from a script, holding requests pending where told to.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "emu/pnp.h"
#include "ntddser.h"
#include "wdm.h"

namespace fakeser {

struct Seen {
    UCHAR major;
    ULONG code;  // device controls
    std::vector<uint8_t> in;  // input bytes (device controls, writes)
    ULONG outLength;          // output length (device controls, reads)
};

struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> out;  // returned bytes; Information is their count
};

class Device {
public:
    Device();   // loads the driver, creates \Device\fakeser0 with the link COM9
    ~Device();  // completes what is still held, deletes the device, unloads

    // Scripted answers per device-control code, and for reads; the default is success, no data.
    void Answer(ULONG code, fakeser::Answer a);
    void AnswerReads(fakeser::Answer a);
    // Requests of these kinds are held pending (with a cancel routine) instead of answered.
    void HoldReads(bool hold);
    void HoldCode(ULONG code, bool hold);
    // The dispatch routine of this code waits `ms` in the caller's thread before answering.
    void DelayInDispatch(ULONG code, LONGLONG ms);

    std::vector<Seen> TakeSeen();
    std::vector<ULONG> TakeCodes();
    size_t HeldCount();
    // Completes the oldest held request (from this thread, at PASSIVE_LEVEL).
    void CompleteHeld(NTSTATUS status, const std::vector<uint8_t>& out);

    NTSTATUS Dispatch(PIRP irp);
    static void Cancel(PDEVICE_OBJECT, PIRP irp);

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::mutex m_;
    std::vector<Seen> seen_;
    std::map<ULONG, fakeser::Answer> answers_;
    fakeser::Answer reads_;
    bool holdReads_ = false;
    std::map<ULONG, bool> hold_;
    std::map<ULONG, LONGLONG> delay_;
    std::deque<PIRP> held_;
};

}  // namespace fakeser
