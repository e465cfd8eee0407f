// The I/O manager tests' own small driver: every major function goes to the dispatch routine the
// test sets, and the devices it creates are deleted with it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "wdm.h"

namespace iotest {

inline std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gDispatch;

inline NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) { return gDispatch(d, irp); }

inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = Dispatch;
    return STATUS_SUCCESS;
}

struct Driver {
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("iotest", Entry);
    std::vector<PDEVICE_OBJECT> devices;
    // A device ready for requests (`name` may be null).
    PDEVICE_OBJECT Create(const wchar_t* name, bool exclusive = false, ULONG flags = 0) {
        UNICODE_STRING n;
        if (name) RtlInitUnicodeString(&n, name);
        PDEVICE_OBJECT d = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, name ? &n : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &d),
                  STATUS_SUCCESS);
        if (!d) return nullptr;
        d->Flags = (d->Flags & ~DO_DEVICE_INITIALIZING) | flags;
        devices.push_back(d);
        return d;
    }
    ~Driver() {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) IoDeleteDevice(*it);
        emu::pnp::UnloadDriver(driver);
        gDispatch = nullptr;
    }
};

// Two unnamed devices of the driver, the upper attached to the lower.
struct Stack : Driver {
    PDEVICE_OBJECT lower = Create(nullptr);
    PDEVICE_OBJECT upper = Create(nullptr);
    Stack() { IoAttachDeviceToDeviceStack(upper, lower); }
    ~Stack() { IoDetachDevice(lower); }
};

// A one-location read whose completion routine keeps it from being freed: the test frees it.
inline PIRP KeptRead() {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                           nullptr, TRUE, TRUE, TRUE);
    return irp;
}

inline void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace iotest
