// vcomctl: runs a driver on the emulated Windows kernel and shows it working.
//
// At this stage it loads a small echo driver of its own: the PnP manager adds and starts the
// device, an application opens it by its DOS name, writes, reads the bytes back and asks a
// device control, then closes; the device is removed and the driver unloaded with the verifier
// watching throughout.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "wdm.h"

namespace {

// ---- the echo driver: WDM code, as a driver is written ----------------------------------
struct EchoExtension {
    PDEVICE_OBJECT Lower;
    UNICODE_STRING Link;
    UCHAR Data[256];
    ULONG Count;
    KSPIN_LOCK Lock;
};

constexpr ULONG IOCTL_ECHO_COUNT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS EchoDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<EchoExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    KIRQL old;
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE: case IRP_MJ_CLOSE: case IRP_MJ_CLEANUP:
            return Complete(Irp, STATUS_SUCCESS, 0);
        case IRP_MJ_WRITE: {
            ULONG n = sp->Parameters.Write.Length < sizeof ext->Data ? sp->Parameters.Write.Length : sizeof ext->Data;
            KeAcquireSpinLock(&ext->Lock, &old);
            RtlCopyMemory(ext->Data, Irp->AssociatedIrp.SystemBuffer, n);
            ext->Count = n;
            KeReleaseSpinLock(&ext->Lock, old);
            return Complete(Irp, STATUS_SUCCESS, n);
        }
        case IRP_MJ_READ: {
            KeAcquireSpinLock(&ext->Lock, &old);
            ULONG n = sp->Parameters.Read.Length < ext->Count ? sp->Parameters.Read.Length : ext->Count;
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, ext->Data, n);
            KeReleaseSpinLock(&ext->Lock, old);
            return Complete(Irp, STATUS_SUCCESS, n);
        }
        case IRP_MJ_DEVICE_CONTROL:
            if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_ECHO_COUNT ||
                sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
                return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            *static_cast<ULONG*>(Irp->AssociatedIrp.SystemBuffer) = ext->Count;
            return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        case IRP_MJ_PNP: {
            UCHAR minor = sp->MinorFunction;
            if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE) Irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(Irp);
            NTSTATUS status = IoCallDriver(ext->Lower, Irp);
            if (minor == IRP_MN_REMOVE_DEVICE) {
                IoDeleteSymbolicLink(&ext->Link);
                IoDetachDevice(ext->Lower);
                IoDeleteDevice(DeviceObject);
            }
            return status;
        }
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(ext->Lower, Irp);
    }
}

NTSTATUS EchoAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Echo0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(EchoExtension), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<EchoExtension*>(device->DeviceExtension);
    KeInitializeSpinLock(&ext->Lock);
    RtlInitUnicodeString(&ext->Link, L"\\DosDevices\\ECHO");
    IoCreateSymbolicLink(&ext->Link, &name);
    device->Flags |= DO_BUFFERED_IO;
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS EchoEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (auto& f : DriverObject->MajorFunction) f = EchoDispatch;
    DriverObject->DriverExtension->AddDevice = EchoAddDevice;
    return STATUS_SUCCESS;
}

// ---- the tool -----------------------------------------------------------------------------
int gFaults = 0;
void OnFault(const emu::verifier::Report& r) {
    ++gFaults;
    std::fprintf(stderr, "verifier: %s: %s\n", emu::verifier::FaultName(r.fault), r.message.c_str());
}

const char* StatusText(NTSTATUS s) {
    static char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
    return s == STATUS_SUCCESS ? "STATUS_SUCCESS" : buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: vcomctl\n  Loads a driver on the emulated Windows kernel and shows it working.");
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "vcomctl: unknown argument '%s' (try --help)\n", argv[1]);
        return 2;
    }
    emu::verifier::SetFailHandler(OnFault);
    emu::SetClockMode(emu::ClockMode::RealTime);

    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("echo", EchoEntry);
    std::printf("loaded driver       echo (DriverEntry %s)\n", driver ? "succeeded" : "failed");
    NTSTATUS added;
    auto node = emu::pnp::DeviceNode::Create("ROOT\\ECHO\\0000", {}, {driver}, &added);
    std::printf("added device        \\Device\\Echo0 above %s: %s\n", "the emulated bus", StatusText(added));
    std::printf("started             %s\n", StatusText(node->Start()));
    auto target = emu::io::ResolveLink(u"\\DosDevices\\ECHO");
    std::printf("DOS link            \\DosDevices\\ECHO -> %s\n", target ? emu::io::ToUtf8(*target).c_str() : "(none)");

    std::unique_ptr<emu::io::File> file;
    NTSTATUS opened = emu::io::File::Open(u"\\\\.\\ECHO", &file);
    std::printf("opened \\\\.\\ECHO      %s\n", StatusText(opened));
    if (!NT_SUCCESS(opened)) return 1;
    const char message[] = "hello from the emulated kernel";
    auto w = file->Write(message, sizeof message - 1);
    auto r = file->Read(64);
    std::string echoed(r.Data().begin(), r.Data().end());
    std::printf("wrote %2zu bytes      %s\n", static_cast<size_t>(w.Information()), StatusText(w.Status()));
    std::printf("read back           \"%s\" (%s)\n", echoed.c_str(), echoed == message ? "matches" : "MISMATCH");
    auto c = file->Ioctl(IOCTL_ECHO_COUNT, nullptr, 0, sizeof(ULONG));
    ULONG count = 0;
    if (c.Data().size() == sizeof count) std::memcpy(&count, c.Data().data(), sizeof count);
    std::printf("device control      count = %u (%s)\n", count, StatusText(c.Status()));
    std::printf("closed              %s\n", StatusText(file->Close()));
    file.reset();
    std::printf("removed             %s\n", StatusText(node->Remove()));
    node.reset();
    emu::pnp::UnloadDriver(driver);
    std::printf("unloaded; verifier  %d fault(s)\n", gFaults);
    return gFaults == 0 && echoed == message ? 0 : 1;
}
