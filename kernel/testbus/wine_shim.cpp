// Test-only stand-ins for kernel routines that Wine lacks or gets wrong, patched into vcom.sys's
// import table when the image loads, and only under Wine (which is detected by an export of its
// ntoskrnl.exe). Under Wine these routines are ours, so a run there is no evidence for them:
//   KeRemoveQueueDpc, KeReadStateTimer, KeRemoveEntryDeviceQueue  stubs that end the process;
//   KeSetTimer with a DPC        Wine re-arms by waiting for the timer's callbacks, which
//                                deadlocks when the DPC itself re-arms its timer;
//   IoOpenDeviceRegistryKey      Wine checks the access a kernel caller asks for.
// Timers with a DPC run on one thread of ours that also runs their DPCs, one at a time; a timer
// set without a DPC (a timed wait) stays Wine's. The device queue routines are replaced as a set.
#include "testbus.h"

#include <ntimage.h>

namespace testbus {
namespace {

constexpr ULONG kMaxTimers = 128;

struct TimerRecord {
    PKTIMER timer;
    PKDPC dpc;
    LONGLONG due;
    bool armed;
    bool signaled;
    bool dpcQueued;
    ULONGLONG queuedAt;  // FIFO order of queued DPCs
};

KSPIN_LOCK gLock;
TimerRecord gTimers[kMaxTimers];
ULONGLONG gQueueSeq;
PKDPC gRunning;  // the DPC being run, if any
KEVENT gTimerWake;
KEVENT gDpcIdle;  // set while no DPC is queued or running
KEVENT gTimerStopped;
volatile LONG gTimerStop;
bool gInstalled;

using SetTimerFn = BOOLEAN(NTAPI*)(PKTIMER, LARGE_INTEGER, PKDPC);
using CancelTimerFn = BOOLEAN(NTAPI*)(PKTIMER);
using OpenKeyFn = NTSTATUS(NTAPI*)(PDEVICE_OBJECT, ULONG, ACCESS_MASK, PHANDLE);
SetTimerFn gWineSetTimer;
CancelTimerFn gWineCancelTimer;
OpenKeyFn gWineOpenKey;

TimerRecord* FindLocked(PKTIMER timer) {
    for (auto& r : gTimers)
        if (r.timer == timer) return &r;
    return NULL;
}

TimerRecord* FindDpcLocked(PKDPC dpc) {
    for (auto& r : gTimers)
        if (r.timer && r.dpc == dpc && r.dpcQueued) return &r;
    return NULL;
}

void UpdateIdleLocked() {
    bool idle = gRunning == NULL;
    for (auto& r : gTimers) idle = idle && !r.dpcQueued;
    if (idle) KeSetEvent(&gDpcIdle, IO_NO_INCREMENT, FALSE);
    else KeClearEvent(&gDpcIdle);
}

void TimerThread(PVOID) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&gLock, &irql);
        LONGLONG now = Now100ns();
        LONGLONG next = MAXLONGLONG;
        for (auto& r : gTimers) {
            if (!r.timer || !r.armed) continue;
            if (r.due <= now) {
                r.armed = false;
                r.signaled = true;
                if (r.dpc && !r.dpcQueued) {
                    r.dpcQueued = true;
                    r.queuedAt = ++gQueueSeq;
                }
            } else if (r.due < next) {
                next = r.due;
            }
        }
        TimerRecord* first = NULL;
        for (auto& r : gTimers)
            if (r.timer && r.dpcQueued && (!first || r.queuedAt < first->queuedAt)) first = &r;
        PKDPC dpc = NULL;
        if (first) {
            first->dpcQueued = false;
            dpc = gRunning = first->dpc;
        }
        UpdateIdleLocked();
        KeReleaseSpinLock(&gLock, irql);
        if (dpc) {
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
            KeAcquireSpinLock(&gLock, &irql);
            gRunning = NULL;
            UpdateIdleLocked();
            KeReleaseSpinLock(&gLock, irql);
            continue;
        }
        if (gTimerStop) break;
        LARGE_INTEGER wait;
        wait.QuadPart = next == MAXLONGLONG ? 0 : -(next - now);
        KeWaitForSingleObject(&gTimerWake, Executive, KernelMode, FALSE, next == MAXLONGLONG ? NULL : &wait);
    }
    KeSetEvent(&gTimerStopped, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- the stand-ins ----

void NTAPI ShimInitializeTimer(PKTIMER timer) {
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    // A timer initialised again is a new timer (the memory may have been reused).
    if (TimerRecord* r = FindLocked(timer)) *r = TimerRecord();
    UpdateIdleLocked();
    KeReleaseSpinLock(&gLock, irql);
    KeInitializeTimerEx(timer, NotificationTimer);
}

BOOLEAN NTAPI ShimSetTimer(PKTIMER timer, LARGE_INTEGER due, PKDPC dpc) {
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    TimerRecord* r = FindLocked(timer);
    if (!dpc && !r) {
        KeReleaseSpinLock(&gLock, irql);
        return gWineSetTimer(timer, due, dpc);
    }
    if (!r) r = FindLocked(NULL);
    if (!r) {
        KeReleaseSpinLock(&gLock, irql);
        KeBugCheckEx(0x54455354 /* 'TEST' */, 1, reinterpret_cast<ULONG_PTR>(timer), 0, 0);
    }
    BOOLEAN was = r->armed;
    r->timer = timer;
    r->dpc = dpc;
    r->due = due.QuadPart < 0 ? Now100ns() - due.QuadPart : Now100ns();  // absolute times: not used by vcom
    r->armed = true;
    r->signaled = false;
    KeReleaseSpinLock(&gLock, irql);
    KeSetEvent(&gTimerWake, IO_NO_INCREMENT, FALSE);
    return was;
}

BOOLEAN NTAPI ShimCancelTimer(PKTIMER timer) {
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    TimerRecord* r = FindLocked(timer);
    if (!r) {
        KeReleaseSpinLock(&gLock, irql);
        return gWineCancelTimer(timer);
    }
    BOOLEAN was = r->armed;
    r->armed = false;  // a DPC already queued stays queued, as on Windows
    KeReleaseSpinLock(&gLock, irql);
    return was;
}

BOOLEAN NTAPI ShimReadStateTimer(PKTIMER timer) {
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    TimerRecord* r = FindLocked(timer);
    BOOLEAN state = r ? r->signaled : timer->Header.SignalState != 0;
    KeReleaseSpinLock(&gLock, irql);
    return state;
}

BOOLEAN NTAPI ShimRemoveQueueDpc(PKDPC dpc) {
    KIRQL irql;
    KeAcquireSpinLock(&gLock, &irql);
    TimerRecord* r = FindDpcLocked(dpc);
    if (r) r->dpcQueued = false;
    UpdateIdleLocked();
    KeReleaseSpinLock(&gLock, irql);
    return r != NULL;
}

VOID NTAPI ShimFlushQueuedDpcs() {
    KeWaitForSingleObject(&gDpcIdle, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS NTAPI ShimOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG type, ACCESS_MASK access, PHANDLE key) {
    // Windows grants a kernel caller any access; Wine checks it against the operation.
    return gWineOpenKey(pdo, type, access | KEY_READ, key);
}

// Device queues: the four routines together, so one implementation owns the fields.
VOID NTAPI ShimInitializeDeviceQueue(PKDEVICE_QUEUE queue) {
    queue->Type = 0x14;  // DeviceQueueObject
    queue->Size = sizeof *queue;
    InitializeListHead(&queue->DeviceListHead);
    KeInitializeSpinLock(&queue->Lock);
    queue->Busy = FALSE;
}

BOOLEAN NTAPI ShimInsertDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry) {
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    BOOLEAN inserted = queue->Busy;
    if (inserted) InsertTailList(&queue->DeviceListHead, &entry->DeviceListEntry);
    queue->Busy = TRUE;
    entry->Inserted = inserted;
    KeReleaseSpinLock(&queue->Lock, irql);
    return inserted;
}

PKDEVICE_QUEUE_ENTRY NTAPI ShimRemoveDeviceQueue(PKDEVICE_QUEUE queue) {
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    PKDEVICE_QUEUE_ENTRY entry = NULL;
    if (IsListEmpty(&queue->DeviceListHead)) {
        queue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&queue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return entry;
}

BOOLEAN NTAPI ShimRemoveEntryDeviceQueue(PKDEVICE_QUEUE queue, PKDEVICE_QUEUE_ENTRY entry) {
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    BOOLEAN was = entry->Inserted;
    if (was) {
        RemoveEntryList(&entry->DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return was;
}

struct Patch {
    const char* name;
    void* routine;
};

const Patch kPatches[] = {
    {"KeInitializeTimer", reinterpret_cast<void*>(ShimInitializeTimer)},
    {"KeSetTimer", reinterpret_cast<void*>(ShimSetTimer)},
    {"KeCancelTimer", reinterpret_cast<void*>(ShimCancelTimer)},
    {"KeReadStateTimer", reinterpret_cast<void*>(ShimReadStateTimer)},
    {"KeRemoveQueueDpc", reinterpret_cast<void*>(ShimRemoveQueueDpc)},
    {"KeFlushQueuedDpcs", reinterpret_cast<void*>(ShimFlushQueuedDpcs)},
    {"IoOpenDeviceRegistryKey", reinterpret_cast<void*>(ShimOpenDeviceRegistryKey)},
    {"KeInitializeDeviceQueue", reinterpret_cast<void*>(ShimInitializeDeviceQueue)},
    {"KeInsertDeviceQueue", reinterpret_cast<void*>(ShimInsertDeviceQueue)},
    {"KeRemoveDeviceQueue", reinterpret_cast<void*>(ShimRemoveDeviceQueue)},
    {"KeRemoveEntryDeviceQueue", reinterpret_cast<void*>(ShimRemoveEntryDeviceQueue)},
};

bool SameAnsi(const char* a, const char* b, bool ignoreCase) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (ignoreCase) {
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        }
        if (x != y) return false;
        if (!x) return true;
    }
}

bool EndsWith(PUNICODE_STRING s, const WCHAR* tail) {
    ULONG n = 0;
    while (tail[n]) ++n;
    ULONG len = s->Length / sizeof(WCHAR);
    if (len < n) return false;
    for (ULONG i = 0; i < n; ++i) {
        WCHAR a = s->Buffer[len - n + i];
        if (a >= L'A' && a <= L'Z') a = static_cast<WCHAR>(a + 32);
        if (a != tail[i]) return false;
    }
    return true;
}

// Rewrites the image's import address table entries for ntoskrnl.exe routines we stand in for.
void PatchImports(PUCHAR base) {
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS64>(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return;
    for (auto* imp = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (!SameAnsi(reinterpret_cast<const char*>(base + imp->Name), "ntoskrnl.exe", true)) continue;
        auto* names = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + imp->OriginalFirstThunk);
        auto* iat = reinterpret_cast<PIMAGE_THUNK_DATA64>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++iat) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names->u1.AddressOfData);
            for (const Patch& p : kPatches)
                if (SameAnsi(reinterpret_cast<const char*>(byName->Name), p.name, false))
                    iat->u1.Function = reinterpret_cast<ULONGLONG>(p.routine);
        }
    }
}

VOID NTAPI OnImageLoad(PUNICODE_STRING name, HANDLE, PIMAGE_INFO info) {
    if (name && EndsWith(name, L"\\vcom.sys")) {
        PatchImports(static_cast<PUCHAR>(info->ImageBase));
        DbgPrint("testbus: vcom.sys runs with the Wine stand-ins\n");
    }
}

}  // namespace

void InstallWineShim() {
    UNICODE_STRING wine;
    RtlInitUnicodeString(&wine, L"wine_ntoskrnl_main_loop");
    if (!MmGetSystemRoutineAddress(&wine)) return;  // not Wine: nothing to stand in for

    KeInitializeSpinLock(&gLock);
    KeInitializeEvent(&gTimerWake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&gDpcIdle, NotificationEvent, TRUE);
    KeInitializeEvent(&gTimerStopped, NotificationEvent, FALSE);
    gWineSetTimer = KeSetTimer;
    gWineCancelTimer = KeCancelTimer;
    gWineOpenKey = IoOpenDeviceRegistryKey;
    HANDLE thread;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TimerThread, NULL))) return;
    ZwClose(thread);
    if (NT_SUCCESS(PsSetLoadImageNotifyRoutine(OnImageLoad))) gInstalled = true;
}

void RemoveWineShim() {
    if (!gInstalled) return;
    PsRemoveLoadImageNotifyRoutine(OnImageLoad);
    InterlockedExchange(&gTimerStop, 1);
    KeSetEvent(&gTimerWake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&gTimerStopped, Executive, KernelMode, FALSE, NULL);
    gInstalled = false;
}

}  // namespace testbus
