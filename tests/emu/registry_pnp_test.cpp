// The registry answers queries in the Windows layouts and statuses, and the PnP manager builds
// device stacks whose hardware keys drivers can read; what drivers leave behind is reported.
#include <gtest/gtest.h>

#include <cstring>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/registry.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "wdm.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;

TEST(Registry, FullInformationLayoutAndStatuses) {
    const std::string key = "\\Registry\\Machine\\Test\\Key";
    emu::registry::SetDword(key, u"RxReqSize", 100);
    emu::registry::SetString(key, u"PortName", u"COM7");
    HANDLE h;
    ASSERT_EQ(emu::registry::OpenKeyHandle(key, &h), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RxReqSize");
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    // 20 fixed bytes + 18 name bytes, data at 40 (rounded to 4), 4 data bytes: 44.
    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->NameLength, 18u);
    EXPECT_EQ(info->DataOffset, 40u);
    EXPECT_EQ(info->DataLength, 4u);
    ULONG value;
    memcpy(&value, buffer + info->DataOffset, 4);
    EXPECT_EQ(value, 100u);
    // The fixed part fits but not the rest: overflow, fixed part filled.
    memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, 30, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 44u);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, 19, &result), STATUS_BUFFER_TOO_SMALL);
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, L"Nothing");
    EXPECT_EQ(ZwQueryValueKey(h, &missing, KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    RtlInitUnicodeString(&name, L"portname");  // names are case-insensitive
    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->DataLength, 10u);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(emu::registry::OpenKeyHandle(key + "\\Absent", &h), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, DeviceMapWritesAreVisibleToTheTestBedAndOpenHandlesAreReported) {
    WCHAR data[] = L"COM7";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\zelcom0", REG_SZ, data, sizeof data),
              STATUS_SUCCESS);
    auto v = emu::registry::GetValue(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM", u"\\Device\\zelcom0");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(v->data.size(), 10u);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\zelcom0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\zelcom0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE h;
    ASSERT_EQ(emu::registry::OpenKeyHandle(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM", &h), STATUS_SUCCESS);
    ExpectFaults faults;
    emu::testing::RunEndOfTestChecks();
    EXPECT_TRUE(faults.Saw(Fault::ObjectMisuse));
}

TEST(Registry, CreateAndOpenKeysByAttributesIncludingRelativeNames) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Test\\Params");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    // A subkey named relative to the open key lands under its path.
    UNICODE_STRING sub;
    RtlInitUnicodeString(&sub, L"Sub");
    OBJECT_ATTRIBUTES relative;
    InitializeObjectAttributes(&relative, &sub, OBJ_CASE_INSENSITIVE, h, nullptr);
    HANDLE child;
    ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &relative, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Level");
    ULONG level = 3;
    EXPECT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &level, sizeof level), STATUS_SUCCESS);
    auto v = emu::registry::GetValue("\\REGISTRY\\machine\\test\\params\\sub", u"level");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->data.size(), 4u);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    // Opening again finds it; creating again reports it existed; a closed root is refused.
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwOpenKey(&child, KEY_READ, &relative), STATUS_INVALID_HANDLE);
}

// A filter-style driver for the PnP tests: reads its hardware key at AddDevice and passes every
// request down.
struct FilterExtension {
    PDEVICE_OBJECT Lower;
    ULONG Value;
    NTSTATUS KeyStatus;
};
FilterExtension* gLast = nullptr;
bool gLeakOnUnload = false;

NTSTATUS FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* ext = static_cast<FilterExtension*>(DeviceObject->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    bool remove = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = ext->Lower;
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    gLast = ext;
    HANDLE key;
    ext->KeyStatus = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (NT_SUCCESS(ext->KeyStatus)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"EndPointCaps");
        alignas(8) UCHAR buffer[64];
        ULONG result;
        if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result))) {
            auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
            memcpy(&ext->Value, buffer + info->DataOffset, 4);
        }
        ZwClose(key);
    }
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS FilterEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (auto& f : DriverObject->MajorFunction) f = FilterDispatch;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;
    if (gLeakOnUnload) ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'kaeL');
    return STATUS_SUCCESS;
}

TEST(Pnp, StackReadsItsHardwareKeyAndRequestsReachTheBus) {
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("filter", FilterEntry);
    ASSERT_NE(driver, nullptr);
    NTSTATUS added;
    auto node = emu::pnp::DeviceNode::Create("USB\\VID_0000&PID_0000\\1", {{u"EndPointCaps", emu::pnp::HardwareValue::Dword(3)}},
                                             {driver}, &added);
    ASSERT_EQ(added, STATUS_SUCCESS);
    EXPECT_EQ(gLast->KeyStatus, STATUS_SUCCESS);
    EXPECT_EQ(gLast->Value, 3u);
    EXPECT_EQ(node->Top()->StackSize, 2);
    EXPECT_EQ(node->Start(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(node->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    // A minor nobody handles keeps the status it was sent with.
    EXPECT_EQ(node->Send(IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
    node->SetBusAnswer(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(node->Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(node->SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    auto log = node->BusLog();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0], std::make_pair(UCHAR{IRP_MJ_PNP}, UCHAR{IRP_MN_START_DEVICE}));
    EXPECT_EQ(log.back(), std::make_pair(UCHAR{IRP_MJ_POWER}, UCHAR{IRP_MN_SET_POWER}));
    EXPECT_EQ(node->Remove(), STATUS_SUCCESS);
    node.reset();
    emu::pnp::UnloadDriver(driver);
}

TEST(Pnp, UnreadableHardwareKeyAndPoolLeftAtUnloadAreReported) {
    gLeakOnUnload = true;
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("leaky", FilterEntry);
    gLeakOnUnload = false;
    std::unique_ptr<emu::pnp::DeviceNode> node;
    {
        // The hardware key is made unreadable before AddDevice runs.
        emu::registry::FailOpen("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\LEAKY\\0\\Device Parameters",
                                STATUS_ACCESS_DENIED);
        node = emu::pnp::DeviceNode::Create("ROOT\\LEAKY\\0", {}, {driver});
        EXPECT_EQ(gLast->KeyStatus, STATUS_ACCESS_DENIED);
    }
    node->Remove();
    node.reset();
    ExpectFaults faults;
    emu::pnp::UnloadDriver(driver);
    auto reports = faults.Take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].fault, Fault::PoolLeak);
    EXPECT_NE(reports[0].message.find("Leak"), std::string::npos);
}

}  // namespace
