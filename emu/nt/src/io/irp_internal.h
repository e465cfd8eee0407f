// Internal record of an IRP in the emulated I/O manager. The record, a pointer back to it, the IRP
// and its stack locations share one block: one allocation per IRP.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "nt/io.h"

namespace emu::io::detail {

enum class IrpKind { Allocated, IoctlSync, FsdSync, FsdAsync, Application };
enum class IrpState { Owned, Sent, Completed, Freed };

struct IrpBox {
    uint32_t magic = 0;
    IrpKind kind = IrpKind::Allocated;
    // Atomic: a walk records where the IRP stands after a routine that returned
    // STATUS_MORE_PROCESSING_REQUIRED, by which time that routine may have let the owner's thread
    // complete or send the IRP again.
    std::atomic<IrpState> state{IrpState::Owned};
    std::atomic<int> refs{1};
    // inWalk, freeRequested and the state's changes as a free meets a walk: the completing thread
    // may still be in the walk when the routine it ran has let another thread free the IRP.
    std::mutex walkLock;
    int inWalk = 0;
    bool freeRequested = false;
    std::atomic<int> completions{0};
    std::atomic<int> sends{0};  // IofCallDriver calls, so a walk sees a routine that sent the IRP again
    CCHAR boost = 0;
    bool ownsSystemBuffer = false;
    PVOID copyBackTo = nullptr;
    size_t copyBackLength = 0;
    // Application requests: called with the request object if it is still there.
    void (*onComplete)(const std::shared_ptr<void>& owner, IrpBox* box) = nullptr;
    std::weak_ptr<void> owner;
    bool admittedBeforeRemoval = false;       // a power manager's request (see CheckNotRemoved)
    PIRP irp = nullptr;                       // in its own block, stack locations following it
    // Pending bookkeeping per stack location (index = CurrentLocation while a driver owns it):
    // passed: -1 not yet completed through, 0 completed through unmarked, 1 marked;
    // deferred: its dispatch returned STATUS_PENDING before any mark, so the walk must find one.
    // Both live in the IRP's block after its stack locations, one entry per location + 2.
    std::mutex pendingLock;
    int8_t* passed = nullptr;
    bool* deferred = nullptr;
    IrpBox* livePrev = nullptr;  // the registry of live IRPs, linked through the boxes
    IrpBox* liveNext = nullptr;
};

IrpBox* NewIrp(CCHAR stackSize, IrpKind kind);
IrpBox* BoxOf(PIRP irp);
void AddRef(IrpBox* box);
void Release(IrpBox* box);
size_t LiveIrpCount();

// A device whose driver has handled IRP_MN_REMOVE_DEVICE (NoteRemoving before the call, NoteRemoved
// after it); forgotten when its memory is freed, the address is a new device again or a device is
// attached above it (a PDO enumerated anew).
void NoteRemoving(PDEVICE_OBJECT device);
void NoteRemoved(PDEVICE_OBJECT device);
void ForgetRemoved(PDEVICE_OBJECT device);
void CheckNotRemoved(PDEVICE_OBJECT device, PIRP irp);

// Fault injection for IRP and MDL allocations (see emu/iomgr.h).
bool ShouldFailIrpAllocation();

}  // namespace emu::io::detail
