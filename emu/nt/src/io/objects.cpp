// Device objects, the object name space (devices, symbolic links), device interfaces, device
// queues and remove locks of the emulated I/O manager.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emu/iomgr.h"
#include "emu/registry.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "irp_internal.h"
#include "nt/io.h"
#include "nt/ke.h"
#include "nt/rtl.h"

using emu::verifier::Fault;
using emu::verifier::Raise;

namespace emu::io {
namespace {

struct Interface {
    GUID guid;
    PDEVICE_OBJECT pdo;
    bool enabled = false;
};

struct Names {
    std::recursive_mutex m;
    std::map<std::u16string, PDEVICE_OBJECT> devices;  // upper-cased name -> device
    std::map<std::u16string, std::u16string> links;    // upper-cased link -> target as given
    std::map<std::u16string, Interface> interfaces;    // upper-cased symbolic name
    std::vector<PIO_REMOVE_LOCK> removeLocks;
    uint64_t failIrpNth = 0;
    NTSTATUS failEnable = STATUS_SUCCESS;
    std::map<PDEVICE_OBJECT, std::u16string> names;    // device -> name as given
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
    std::set<PDEVICE_OBJECT> deletePending;  // deleted while a device above was still attached
};

Names& N() {
    static Names* n = new Names;
    return *n;
}

std::u16string Upper(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
}

// "\??\X" and "\GLOBAL??\X" are "\DosDevices\X".
std::u16string Canonical(std::u16string name) {
    std::u16string u = Upper(name);
    for (const std::u16string prefix : {u"\\??\\", u"\\GLOBAL??\\"}) {
        if (u.rfind(prefix, 0) == 0) return u"\\DOSDEVICES\\" + u.substr(prefix.size());
    }
    return u;
}

std::string GuidText(const GUID& g) {
    char buf[48];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

[[maybe_unused]] const bool registered = [] {
    testing::AddStartOfTestHook("io.faults", [] {
        std::lock_guard<std::recursive_mutex> g(N().m);
        N().failIrpNth = 0;
        N().failEnable = STATUS_SUCCESS;
    });
    return true;
}();

}  // namespace

// The removed mark goes with the memory: the address may be a new device next.
static void FreeDevice(PDEVICE_OBJECT device) {
    detail::ForgetRemoved(device);
    std::free(device);
}

std::u16string ToU16(const UNICODE_STRING& s) {
    std::u16string out;
    if (s.Buffer)
        for (USHORT i = 0; i < s.Length / 2; ++i) out += static_cast<char16_t>(s.Buffer[i]);
    return out;
}

std::u16string ToU16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

PDEVICE_OBJECT ReferenceDevice(std::u16string_view name) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    PDEVICE_OBJECT dev = FindDevice(name);
    if (dev) dev->ReferenceCount++;
    return dev;
}

PDEVICE_OBJECT FindDevice(std::u16string_view name) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::u16string key = Canonical(std::u16string(name));
    for (int depth = 0; depth < 8; ++depth) {
        auto d = N().devices.find(key);
        if (d != N().devices.end()) return d->second;
        auto l = N().links.find(key);
        if (l == N().links.end()) {
            // An enabled device interface is a link to its PDO ("\??\USB#...#{guid}").
            const std::u16string dos = u"\\DOSDEVICES\\";
            if (key.rfind(dos, 0) != 0) return nullptr;
            auto i = N().interfaces.find(u"\\??\\" + key.substr(dos.size()));
            return i != N().interfaces.end() && i->second.enabled ? i->second.pdo : nullptr;
        }
        key = Canonical(l->second);
    }
    return nullptr;
}

std::optional<std::u16string> ResolveLink(std::u16string_view link) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto l = N().links.find(Canonical(std::u16string(link)));
    if (l == N().links.end()) return std::nullopt;
    return l->second;
}

std::vector<std::u16string> Links() {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::vector<std::u16string> out;
    for (auto& [k, v] : N().links) out.push_back(k);
    return out;
}

std::optional<std::u16string> DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto it = N().names.find(device);
    if (it == N().names.end()) return std::nullopt;
    return it->second;
}

std::vector<InterfaceInfo> ListInterfaces(const GUID& guid, bool enabledOnly) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::vector<InterfaceInfo> out;
    for (auto& [name, i] : N().interfaces) {
        if (memcmp(&i.guid, &guid, sizeof guid) != 0) continue;
        if (enabledOnly && !i.enabled) continue;
        out.push_back(InterfaceInfo{name, i.pdo, i.enabled});
    }
    return out;
}

void SetInstancePath(PDEVICE_OBJECT pdo, std::u16string path) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    N().instancePaths[pdo] = std::move(path);
}

void FailNextInterfaceEnable(NTSTATUS status) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    N().failEnable = status;
}

void FailNthIrpAllocation(uint64_t n) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    N().failIrpNth = n;
}

namespace detail {
bool ShouldFailIrpAllocation() {
    std::lock_guard<std::recursive_mutex> g(N().m);
    return N().failIrpNth != 0 && --N().failIrpNth == 0;
}
}  // namespace detail

}  // namespace emu::io

using namespace emu::io;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::u16string name = DeviceName ? ToU16(*DeviceName) : std::u16string();
    if (!name.empty() && (N().devices.count(Upper(name)) || N().links.count(Canonical(name))))
        return STATUS_OBJECT_NAME_COLLISION;
    size_t ext = (DeviceExtensionSize + 15) / 16 * 16;
    auto* block = static_cast<char*>(std::calloc(1, sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) + ext));
    auto* dev = reinterpret_cast<PDEVICE_OBJECT>(block);
    auto* devExt = reinterpret_cast<PDEVOBJ_EXTENSION>(block + sizeof(DEVICE_OBJECT));
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->ReferenceCount = 0;
    dev->DriverObject = DriverObject;
    dev->DeviceExtension = DeviceExtensionSize ? block + sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) : nullptr;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->StackSize = 1;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    dev->DeviceObjectExtension = devExt;
    devExt->Type = 13;
    devExt->Size = sizeof(DEVOBJ_EXTENSION);
    devExt->DeviceObject = dev;
    KeInitializeDeviceQueue(&dev->DeviceQueue);
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    if (!name.empty()) {
        N().devices[Upper(name)] = dev;
        N().names[dev] = name;
    }
    emu::io::detail::ForgetRemoved(dev);
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    if (DeviceObject->DeviceObjectExtension->AttachedTo != nullptr)
        Raise(Fault::ObjectMisuse, "IoDeleteDevice of a device still attached to the device below (IoDetachDevice first)");
    // The device above may still be attached (a lower driver deletes its device while handling
    // IRP_MN_REMOVE_DEVICE before the upper one detaches), or a create or an open file may still
    // reference it: the memory then lives until both are gone.
    bool deferFree = DeviceObject->AttachedDevice != nullptr || DeviceObject->ReferenceCount > 0;
    char* ext = static_cast<char*>(DeviceObject->DeviceExtension);
    size_t extSize = DeviceObject->Size - sizeof(DEVICE_OBJECT);
    for (auto it = N().removeLocks.begin(); it != N().removeLocks.end();) {
        char* p = reinterpret_cast<char*>(*it);
        if (ext && p >= ext && p < ext + extSize) {
            PIO_REMOVE_LOCK lock = *it;
            for (auto& slot : lock->Dbg.Tags) {
                if (slot.Count > 0) {
                    char buf[128];
                    snprintf(buf, sizeof buf, "remove lock %p: %d acquisition(s) with tag %p left when its device was deleted",
                             static_cast<void*>(lock), slot.Count, slot.Tag);
                    Raise(Fault::RemoveLockLeft, buf);
                }
            }
            it = N().removeLocks.erase(it);
        } else {
            ++it;
        }
    }
    auto name = N().names.find(DeviceObject);
    if (name != N().names.end()) {
        N().devices.erase(Upper(name->second));
        N().names.erase(name);
    }
    N().instancePaths.erase(DeviceObject);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    emu::verifier::CheckNothingArmedIn(DeviceObject, DeviceObject->Size + sizeof(DEVOBJ_EXTENSION),
                                       "device object deleted");
    if (ext) emu::verifier::ForgetLocksIn(ext, extSize);
    if (deferFree) {
        N().deletePending.insert(DeviceObject);
        return;
    }
    FreeDevice(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    emu::io::detail::ForgetRemoved(top);
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        Raise(Fault::ObjectMisuse, "IoDetachDevice of a device that has nothing attached");
        return;
    }
    upper->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    if (TargetDevice->ReferenceCount == 0 && N().deletePending.erase(TargetDevice)) FreeDevice(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->ReferenceCount++;
    return top;
}

void ObReferenceObject(PVOID Object) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (dev->Type == IO_TYPE_DEVICE) dev->ReferenceCount++;
}

void ObDereferenceObject(PVOID Object) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto* dev = static_cast<PDEVICE_OBJECT>(Object);
    if (dev->Type != IO_TYPE_DEVICE) return;
    if (--dev->ReferenceCount == 0 && dev->AttachedDevice == nullptr && N().deletePending.erase(dev)) FreeDevice(dev);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::u16string link = Canonical(ToU16(*SymbolicLinkName));
    if (link.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (N().links.count(link) || N().devices.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    N().links[link] = ToU16(*DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    return N().links.erase(Canonical(ToU16(*SymbolicLinkName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    std::u16string instance;
    auto ip = N().instancePaths.find(PhysicalDeviceObject);
    if (ip != N().instancePaths.end()) {
        instance = ip->second;
    } else {
        char buf[48];
        snprintf(buf, sizeof buf, "ROOT\\EMU\\%p", static_cast<void*>(PhysicalDeviceObject));
        instance = ToU16(buf);
    }
    std::replace(instance.begin(), instance.end(), u'\\', u'#');
    std::u16string name = u"\\??\\" + instance + u"#" + ToU16(GuidText(*InterfaceClassGuid));
    if (ReferenceString && ReferenceString->Length) name += u"\\" + ToU16(*ReferenceString);
    auto& entry = N().interfaces[Upper(name)];
    entry.guid = *InterfaceClassGuid;
    entry.pdo = PhysicalDeviceObject;
    // The caller owns the name's buffer and frees it with ExFreePool / RtlFreeUnicodeString.
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    emu::sched::AtomicSection atomic;  // no switch while N().m is held
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 'fIoI'));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (size_t i = 0; i < name.size(); ++i) buffer[i] = static_cast<WCHAR>(name[i]);
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto it = N().interfaces.find(Upper(ToU16(*SymbolicLinkName)));
    if (it == N().interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable && !NT_SUCCESS(N().failEnable)) return std::exchange(N().failEnable, STATUS_SUCCESS);
    it->second.enabled = Enable != FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK, PHANDLE DeviceRegKey) {
    std::u16string instance;
    {
        std::lock_guard<std::recursive_mutex> g(N().m);
        auto ip = N().instancePaths.find(DeviceObject);
        if (ip == N().instancePaths.end()) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
        instance = ip->second;
    }
    std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\";
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) path += "Enum\\" + ToUtf8(instance) + "\\Device Parameters";
    else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) path += "Control\\Class\\" + ToUtf8(instance);
    else return STATUS_INVALID_PARAMETER;
    return emu::registry::OpenKeyHandle(path, DeviceRegKey);
}

void KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    DeviceQueue->Type = 0x14;
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&DeviceQueue->DeviceListHead);
    KeInitializeSpinLock(&DeviceQueue->Lock);
    DeviceQueue->Busy = FALSE;
}

static void RequireDispatch(const char* routine) {
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        Raise(Fault::IrqlMisuse, std::string(routine) + " called at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                     ", not DISPATCH_LEVEL");
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    RequireDispatch("KeInsertDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    BOOLEAN inserted = DeviceQueue->Busy;
    if (inserted) InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
    else DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = inserted;
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return inserted;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
    RequireDispatch("KeRemoveDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
        DeviceQueue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return entry;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
    KIRQL old;
    KeAcquireSpinLock(&DeviceQueue->Lock, &old);
    BOOLEAN removed = DeviceQueueEntry->Inserted;
    if (removed) {
        DeviceQueueEntry->Inserted = FALSE;
        RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    }
    KeReleaseSpinLock(&DeviceQueue->Lock, old);
    return removed;
}

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark, ULONG) {
    memset(Lock, 0, sizeof *Lock);
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    Lock->Dbg.Signature = 'lRmE';
    Lock->Dbg.HighWatermark = HighWatermark;
    Lock->Dbg.MaxLockedTicks = static_cast<LONGLONG>(MaxLockedMinutes) * 60 * 10000000LL;
    Lock->Dbg.AllocateTag = static_cast<LONG>(AllocateTag);
    KeInitializeSpinLock(&Lock->Dbg.Spin);
    std::lock_guard<std::recursive_mutex> g(N().m);
    auto& locks = N().removeLocks;
    if (std::find(locks.begin(), locks.end(), Lock) == locks.end()) locks.push_back(Lock);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG) {
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
        return STATUS_DELETE_PENDING;
    }
    KIRQL old;
    KeAcquireSpinLock(&RemoveLock->Dbg.Spin, &old);
    IO_REMOVE_LOCK_TAG_SLOT* free = nullptr;
    bool counted = false;
    for (auto& slot : RemoveLock->Dbg.Tags) {
        if (slot.Count > 0 && slot.Tag == Tag) {
            slot.Count++;
            counted = true;
            break;
        }
        if (slot.Count == 0 && free == nullptr) free = &slot;
    }
    if (!counted && free) {
        free->Tag = Tag;
        free->Count = 1;
    }
    KeReleaseSpinLock(&RemoveLock->Dbg.Spin, old);
    return STATUS_SUCCESS;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG) {
    KIRQL old;
    KeAcquireSpinLock(&RemoveLock->Dbg.Spin, &old);
    bool found = false;
    for (auto& slot : RemoveLock->Dbg.Tags) {
        if (slot.Count > 0 && slot.Tag == Tag) {
            slot.Count--;
            found = true;
            break;
        }
    }
    KeReleaseSpinLock(&RemoveLock->Dbg.Spin, old);
    if (!found) {
        char buf[112];
        snprintf(buf, sizeof buf, "remove lock %p released with tag %p, which holds no acquisition",
                 static_cast<void*>(RemoveLock), Tag);
        Raise(Fault::RemoveLockMisuse, buf);
        return;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
}

// Drops the caller's own acquisition and the initial count, then waits for every other holder.
void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    RemoveLock->Common.Removed = TRUE;
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
