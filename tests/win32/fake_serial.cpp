// The tests' own fake serial device driver (see fake_serial.h).
#include "fake_serial.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace fakeser {

namespace {

Device* gDevice = nullptr;

NTSTATUS DispatchAll(PDEVICE_OBJECT, PIRP irp) { return gDevice->Dispatch(irp); }

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = DispatchAll;
    return STATUS_SUCCESS;
}

void Finish(PIRP irp, const fakeser::Answer& a, ULONG room) {
    ULONG n = std::min<ULONG>(static_cast<ULONG>(a.out.size()), room);
    if (n) memcpy(irp->AssociatedIrp.SystemBuffer, a.out.data(), n);
    irp->IoStatus.Status = a.status;
    irp->IoStatus.Information = n;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

Device::Device() {
    gDevice = this;
    driver_ = emu::pnp::LoadDriver("fakeser", Entry);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\fakeser0");
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM9");
    IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device_);
    device_->Flags = (device_->Flags & ~DO_DEVICE_INITIALIZING) | DO_BUFFERED_IO;
    IoCreateSymbolicLink(&link, &name);
}

Device::~Device() {
    while (HeldCount()) CompleteHeld(STATUS_CANCELLED, {});
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM9");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device_);
    emu::pnp::UnloadDriver(driver_);
    gDevice = nullptr;
}

void Device::Answer(ULONG code, fakeser::Answer a) {
    std::lock_guard<std::mutex> g(m_);
    answers_[code] = std::move(a);
}
void Device::AnswerReads(fakeser::Answer a) {
    std::lock_guard<std::mutex> g(m_);
    reads_ = std::move(a);
}
void Device::HoldReads(bool hold) {
    std::lock_guard<std::mutex> g(m_);
    holdReads_ = hold;
}
void Device::DelayInDispatch(ULONG code, LONGLONG ms) {
    std::lock_guard<std::mutex> g(m_);
    delay_[code] = ms;
}

void Device::HoldCode(ULONG code, bool hold) {
    std::lock_guard<std::mutex> g(m_);
    hold_[code] = hold;
}

std::vector<Seen> Device::TakeSeen() {
    std::lock_guard<std::mutex> g(m_);
    return std::exchange(seen_, {});
}

std::vector<ULONG> Device::TakeCodes() {
    std::vector<ULONG> codes;
    for (const Seen& s : TakeSeen())
        if (s.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(s.code);
    return codes;
}

size_t Device::HeldCount() {
    std::lock_guard<std::mutex> g(m_);
    return held_.size();
}

void Device::CompleteHeld(NTSTATUS status, const std::vector<uint8_t>& out) {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> g(m_);
        while (!held_.empty() && irp == nullptr) {
            PIRP candidate = held_.front();
            held_.pop_front();
            if (IoSetCancelRoutine(candidate, nullptr) != nullptr) irp = candidate;  // else its cancel runs
        }
    }
    if (!irp) return;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG room = sp->MajorFunction == IRP_MJ_READ ? sp->Parameters.Read.Length
                                                  : sp->Parameters.DeviceIoControl.OutputBufferLength;
    Finish(irp, fakeser::Answer{status, out}, room);
}

void Device::Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> g(gDevice->m_);
        auto& h = gDevice->held_;
        h.erase(std::remove(h.begin(), h.end(), irp), h.end());
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Device::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen s{sp->MajorFunction, 0, {}, 0};
    fakeser::Answer a;
    bool hold = false;
    LONGLONG delay = 0;
    ULONG room = 0;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    {
        std::lock_guard<std::mutex> g(m_);
        switch (sp->MajorFunction) {
            case IRP_MJ_DEVICE_CONTROL:
                s.code = sp->Parameters.DeviceIoControl.IoControlCode;
                if (buffer) s.in.assign(buffer, buffer + sp->Parameters.DeviceIoControl.InputBufferLength);
                s.outLength = room = sp->Parameters.DeviceIoControl.OutputBufferLength;
                if (answers_.count(s.code)) a = answers_[s.code];
                hold = hold_[s.code];
                delay = delay_[s.code];
                break;
            case IRP_MJ_READ:
                s.outLength = room = sp->Parameters.Read.Length;
                a = reads_;
                hold = holdReads_;
                break;
            case IRP_MJ_WRITE:
                if (buffer) s.in.assign(buffer, buffer + sp->Parameters.Write.Length);
                a.out.clear();
                break;
            default:
                break;
        }
        seen_.push_back(s);
        if (hold) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, Cancel);
            held_.push_back(irp);
        }
    }
    if (delay) {
        LARGE_INTEGER interval;
        interval.QuadPart = -delay * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    if (hold) {
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            {
                std::lock_guard<std::mutex> g(m_);
                held_.erase(std::remove(held_.begin(), held_.end(), irp), held_.end());
            }
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    if (sp->MajorFunction == IRP_MJ_WRITE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sp->Parameters.Write.Length;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = a.status;
    Finish(irp, a, room);
    return status;
}

}  // namespace fakeser
