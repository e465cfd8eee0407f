// The application side of the emulated I/O manager and its name space, for the test bed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../nt/types.h"

namespace emu::io {

std::u16string ToU16(const UNICODE_STRING& s);
std::u16string ToU16(std::string_view s);
std::string ToUtf8(std::u16string_view s);

// The device a name leads to: a device name ("\Device\zelcom0") or a link ("\DosDevices\COM7",
// "\??\COM7"), following links.
PDEVICE_OBJECT FindDevice(std::u16string_view name);
// The same, referenced as the I/O manager does for a create (ObDereferenceObject drops it): a
// device deleted meanwhile keeps its memory until then, so a late create reaches its driver,
// which refuses it, instead of freed memory.
PDEVICE_OBJECT ReferenceDevice(std::u16string_view name);
std::optional<std::u16string> ResolveLink(std::u16string_view link);
std::vector<std::u16string> Links();  // upper-cased, "\DOSDEVICES\COM7"
std::optional<std::u16string> DeviceName(PDEVICE_OBJECT device);

struct InterfaceInfo {
    std::u16string symbolicName;  // upper-cased
    PDEVICE_OBJECT pdo;
    bool enabled;
};
std::vector<InterfaceInfo> ListInterfaces(const GUID& guid, bool enabledOnly = true);

// The PnP manager gives each PDO its instance path (its hardware key lives under it).
void SetInstancePath(PDEVICE_OBJECT pdo, std::u16string path);

// The next IoSetDeviceInterfaceState that enables an interface fails with this status.
void FailNextInterfaceEnable(NTSTATUS status);

// The n-th IRP or MDL allocation from now on fails (IoAllocateIrp, IoBuild*, IoAllocateMdl).
void FailNthIrpAllocation(uint64_t n);

// ---- what an application does ----------------------------------------------------------------

// An overlapped request: done or not, and its outcome once done.
class Request {
public:
    bool Done() const;
    // Waits (an emulated wait: the virtual clock sees this thread blocked).
    void Wait();
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    CCHAR Boost() const;
    const std::vector<uint8_t>& Data() const;  // bytes returned (reads, device controls)
    bool Cancel();                              // IoCancelIrp; false if no cancel routine ran
    struct State;
    explicit Request(std::shared_ptr<State> s) : s_(std::move(s)) {}

private:
    std::shared_ptr<State> s_;
};

class File {
public:
    // Runs once when a request completes, after its outcome is recorded and before waiters wake,
    // in the completing context (any thread, up to DISPATCH_LEVEL): it must not block.
    using OnDone = std::function<void(Request&)>;

    // Opens a device or link name; STATUS_ACCESS_DENIED for a second open of an exclusive device.
    static NTSTATUS Open(std::u16string_view name, std::unique_ptr<File>* file);
    ~File();  // closes if still open

    Request ReadAsync(ULONG length, OnDone done = {});
    Request WriteAsync(const void* data, ULONG length, OnDone done = {});
    Request IoctlAsync(ULONG code, const void* in, ULONG inLength, ULONG outLength, OnDone done = {});
    Request FlushAsync(OnDone done = {});
    Request Read(ULONG length);
    Request Write(const void* data, ULONG length);
    Request Ioctl(ULONG code, const void* in, ULONG inLength, ULONG outLength);
    Request Flush();
    // Cancels every outstanding request of this handle.
    void CancelAll();
    // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once every request of the handle has completed.
    NTSTATUS Close();
    PFILE_OBJECT FileObject() const;
    struct Impl;

private:
    explicit File(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Sends any major function to a device with the given file object, waits and returns the status
// (used by the PnP manager and by tests that need a raw request).
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp);

}  // namespace emu::io
