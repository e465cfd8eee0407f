// Fixed-capacity byte FIFO in nonpaged pool with its own spin lock. Never overwrites unread bytes.
#pragma once
#include "platform.h"

struct RingBuffer {
    KSPIN_LOCK Lock;     // guards every other field and the storage; innermost lock of the port
    ULONG64 Size;        // capacity in bytes, 0 while there is no storage
    ULONG64 Count;       // bytes held
    ULONG64 ReadIndex;   // offset of the oldest held byte
    ULONG64 WriteIndex;  // offset at which the next byte is stored
    PUCHAR Data;         // nonpaged storage of Size bytes, tag "circ"; null while there is none
};

// Pool tags read in memory order, as the pool shows them.
#define VCOM_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
#define RING_POOL_TAG VCOM_POOL_TAG('c', 'i', 'r', 'c')

VOID RingInit(RingBuffer* Ring);
NTSTATUS RingAllocate(RingBuffer* Ring, ULONG Size);
NTSTATUS RingResize(RingBuffer* Ring, ULONG NewSize);
VOID RingFree(RingBuffer* Ring);
VOID RingClear(RingBuffer* Ring);
ULONG64 RingPut(RingBuffer* Ring, const VOID* Source, ULONG64 Length);
ULONG64 RingGet(VOID* Destination, RingBuffer* Ring, ULONG64 Length);

// Unlocked reads for threshold decisions: one aligned 64-bit load each. Count and Size are
// written under the lock with the matching stores, so the unlocked reads are not data races.
inline ULONG64 RingCount(const RingBuffer* Ring) {
    return ReadULong64NoFence(&Ring->Count);
}
inline ULONG64 RingSize(const RingBuffer* Ring) {
    return ReadULong64NoFence(&Ring->Size);
}
