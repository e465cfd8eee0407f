// Emulated Windows kernel: IRQL, spin locks, interlocked operations, lists, events, waits,
// timers, DPCs and time. Semantics follow the Windows kernel; see docs/architecture.md.
#pragma once
#include "types.h"

#include <atomic>

extern "C" {

// ---- IRQL -----------------------------------------------------------------------------------
KIRQL KeGetCurrentIrql(void);
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);

// ---- spin locks -----------------------------------------------------------------------------
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))

void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

// ---- events ---------------------------------------------------------------------------------
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// The emulation delivers no APCs: a critical region has nothing to hold off.
inline void KeEnterCriticalRegion(void) {}
inline void KeLeaveCriticalRegion(void) {}

// ---- timers and DPCs ------------------------------------------------------------------------
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeFlushQueuedDpcs(void);
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
ULONG KeGetCurrentProcessorNumber(void);

// ---- time -----------------------------------------------------------------------------------
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime(void);
void KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement(void);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

}  // extern "C"

// ---- interlocked operations (full barriers, as on x64) --------------------------------------
template <class T>
inline std::atomic_ref<T> VcomAtomicRef_(volatile T* p) { return std::atomic_ref<T>(*const_cast<T*>(p)); }

inline LONG InterlockedIncrement(volatile LONG* p) { return VcomAtomicRef_(p).fetch_add(1) + 1; }
inline LONG InterlockedDecrement(volatile LONG* p) { return VcomAtomicRef_(p).fetch_sub(1) - 1; }
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return VcomAtomicRef_(p).exchange(v); }
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) { return VcomAtomicRef_(p).fetch_add(v); }
inline LONG InterlockedAdd(volatile LONG* p, LONG v) { return VcomAtomicRef_(p).fetch_add(v) + v; }
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return VcomAtomicRef_(p).fetch_or(v); }
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return VcomAtomicRef_(p).fetch_and(v); }
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
    VcomAtomicRef_(p).compare_exchange_strong(comparand, exchange);
    return comparand;
}
inline LONG64 InterlockedIncrement64(volatile LONG64* p) { return VcomAtomicRef_(p).fetch_add(1) + 1; }
inline LONG64 InterlockedDecrement64(volatile LONG64* p) { return VcomAtomicRef_(p).fetch_sub(1) - 1; }
inline LONG64 InterlockedExchange64(volatile LONG64* p, LONG64 v) { return VcomAtomicRef_(p).exchange(v); }
inline LONG64 InterlockedExchangeAdd64(volatile LONG64* p, LONG64 v) { return VcomAtomicRef_(p).fetch_add(v); }
inline LONG64 InterlockedAdd64(volatile LONG64* p, LONG64 v) { return VcomAtomicRef_(p).fetch_add(v) + v; }
inline LONG64 InterlockedCompareExchange64(volatile LONG64* p, LONG64 exchange, LONG64 comparand) {
    VcomAtomicRef_(p).compare_exchange_strong(comparand, exchange);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return VcomAtomicRef_(p).exchange(v); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    VcomAtomicRef_(p).compare_exchange_strong(comparand, exchange);
    return comparand;
}
// Typed function pointers (cancel routines) go through the pointer form.
template <class F>
inline F VcomExchangeFunctionPointer_(F volatile* p, F v) { return VcomAtomicRef_(p).exchange(v); }

// Plain accesses that other processors race with, as wdm.h offers them.
inline LONG ReadNoFence(volatile const LONG* p) { return std::atomic_ref<LONG>(*const_cast<LONG*>(p)).load(std::memory_order_relaxed); }
inline ULONG ReadULongNoFence(volatile const ULONG* p) { return std::atomic_ref<ULONG>(*const_cast<ULONG*>(p)).load(std::memory_order_relaxed); }
inline LONG64 ReadNoFence64(volatile const LONG64* p) { return std::atomic_ref<LONG64>(*const_cast<LONG64*>(p)).load(std::memory_order_relaxed); }
inline ULONG64 ReadULong64NoFence(volatile const ULONG64* p) { return std::atomic_ref<ULONG64>(*const_cast<ULONG64*>(p)).load(std::memory_order_relaxed); }
inline UCHAR ReadUCharNoFence(volatile const UCHAR* p) { return std::atomic_ref<UCHAR>(*const_cast<UCHAR*>(p)).load(std::memory_order_relaxed); }
inline BOOLEAN ReadBooleanNoFence(volatile const BOOLEAN* p) { return ReadUCharNoFence(p); }
inline PVOID ReadPointerNoFence(PVOID const volatile* p) { return std::atomic_ref<PVOID>(*const_cast<PVOID*>(p)).load(std::memory_order_relaxed); }
inline LONG ReadAcquire(volatile const LONG* p) { return std::atomic_ref<LONG>(*const_cast<LONG*>(p)).load(std::memory_order_acquire); }
inline void WriteNoFence(volatile LONG* p, LONG v) { VcomAtomicRef_(p).store(v, std::memory_order_relaxed); }
inline void WriteULongNoFence(volatile ULONG* p, ULONG v) { VcomAtomicRef_(p).store(v, std::memory_order_relaxed); }
inline void WriteULong64NoFence(volatile ULONG64* p, ULONG64 v) { VcomAtomicRef_(p).store(v, std::memory_order_relaxed); }
inline void WriteUCharNoFence(volatile UCHAR* p, UCHAR v) { VcomAtomicRef_(p).store(v, std::memory_order_relaxed); }
inline void WriteBooleanNoFence(volatile BOOLEAN* p, BOOLEAN v) { WriteUCharNoFence(p, v); }
inline void WriteRelease(volatile LONG* p, LONG v) { VcomAtomicRef_(p).store(v, std::memory_order_release); }

// ---- doubly and singly linked lists ---------------------------------------------------------
inline void InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return ListHead->Flink == ListHead; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY flink = Entry->Flink;
    PLIST_ENTRY blink = Entry->Blink;
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY entry = ListHead->Blink;
    RemoveEntryList(entry);
    return entry;
}
inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = blink;
    blink->Flink = Entry;
    ListHead->Blink = Entry;
}
inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY flink = ListHead->Flink;
    Entry->Flink = flink;
    Entry->Blink = ListHead;
    flink->Blink = Entry;
    ListHead->Flink = Entry;
}
inline void PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}
inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    if (first != NULL) ListHead->Next = first->Next;
    return first;
}
