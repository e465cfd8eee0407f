// Byte ring buffer. Pool calls stay outside the spin lock; the lock covers only index updates
// and the (at most two) block copies.
#include "ring.h"

VOID RingInit(RingBuffer* Ring) {
    RtlZeroMemory(Ring, sizeof(*Ring));
    KeInitializeSpinLock(&Ring->Lock);
}

NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size) {
    PUCHAR data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, Size, RING_POOL_TAG);
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    WriteULong64NoFence(&Ring->Count, 0);
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Data = data;
    WriteULong64NoFence(&Ring->Size, data ? Size : 0);
    KeReleaseSpinLock(&Ring->Lock, irql);
    return data ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS RingResize(RingBuffer* Ring, ULONG NewSize) {
    // Cheap refusals first, then allocate outside the lock and re-check under it.
    ULONG64 current = RingSize(Ring);
    if (NewSize < current) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NewSize == current) {
        return STATUS_SUCCESS;
    }
    PUCHAR data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, NewSize, RING_POOL_TAG);
    if (!data) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_SUCCESS;
    PUCHAR old = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    if (NewSize <= Ring->Size) {
        // The ring grew meanwhile.
        status = NewSize < Ring->Size ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
        old = data;
    } else {
        if (Ring->Data) {
            ULONG64 first = Ring->Size - Ring->ReadIndex;
            if (first > Ring->Count) {
                first = Ring->Count;
            }
            RtlCopyMemory(data, Ring->Data + Ring->ReadIndex, first);
            RtlCopyMemory(data + first, Ring->Data, Ring->Count - first);
            Ring->WriteIndex = Ring->Count;
            old = Ring->Data;
        } else {
            WriteULong64NoFence(&Ring->Count, 0);
            Ring->WriteIndex = 0;
        }
        Ring->ReadIndex = 0;
        WriteULong64NoFence(&Ring->Size, NewSize);
        Ring->Data = data;
    }
    KeReleaseSpinLock(&Ring->Lock, irql);
    if (old) {
        ExFreePoolWithTag(old, RING_POOL_TAG);
    }
    return status;
}

VOID RingFree(RingBuffer* Ring) {
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    PUCHAR old = Ring->Data;
    Ring->Data = NULL;
    WriteULong64NoFence(&Ring->Size, 0);
    WriteULong64NoFence(&Ring->Count, 0);
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    KeReleaseSpinLock(&Ring->Lock, irql);
    if (old) {
        ExFreePoolWithTag(old, RING_POOL_TAG);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RingClear(RingBuffer* Ring) {
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    WriteULong64NoFence(&Ring->Count, 0);
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    KeReleaseSpinLock(&Ring->Lock, irql);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG64 RingPut(RingBuffer* Ring, const VOID* Source, ULONG64 Length) {
    if (Length == 0) {
        return 0;
    }
    const UCHAR* source = (const UCHAR*)Source;
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    ULONG64 stored = 0;
    if (Ring->Data && Ring->Count < Ring->Size) {
        stored = Ring->Size - Ring->Count;
        if (stored > Length) {
            stored = Length;
        }
        ULONG64 first = Ring->Size - Ring->WriteIndex;
        if (first > stored) {
            first = stored;
        }
        RtlCopyMemory(Ring->Data + Ring->WriteIndex, source, first);
        RtlCopyMemory(Ring->Data, source + first, stored - first);
        Ring->WriteIndex += stored;
        if (Ring->WriteIndex >= Ring->Size) {
            Ring->WriteIndex -= Ring->Size;
        }
        WriteULong64NoFence(&Ring->Count, Ring->Count + stored);
    }
    KeReleaseSpinLock(&Ring->Lock, irql);
    return stored;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG64 RingGet(VOID* Destination, RingBuffer* Ring, ULONG64 Length) {
    if (Length == 0) {
        return 0;
    }
    UCHAR* destination = (UCHAR*)Destination;
    KIRQL irql;
    KeAcquireSpinLock(&Ring->Lock, &irql);
    ULONG64 taken = 0;
    if (Ring->Data && Ring->Count != 0) {
        taken = Ring->Count < Length ? Ring->Count : Length;
        ULONG64 first = Ring->Size - Ring->ReadIndex;
        if (first > taken) {
            first = taken;
        }
        RtlCopyMemory(destination, Ring->Data + Ring->ReadIndex, first);
        RtlCopyMemory(destination + first, Ring->Data, taken - first);
        Ring->ReadIndex += taken;
        if (Ring->ReadIndex >= Ring->Size) {
            Ring->ReadIndex -= Ring->Size;
        }
        WriteULong64NoFence(&Ring->Count, Ring->Count - taken);
    }
    KeReleaseSpinLock(&Ring->Lock, irql);
    return taken;
}
