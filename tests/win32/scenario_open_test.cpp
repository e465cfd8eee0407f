// Finding and opening the port: the serial device map, the COM-port interface, the two name
// forms, one opener at a time.
#include "scenario.h"  // windows.h first: setupapi.h builds on it

#include <setupapi.h>

#include <cstring>
#include <string>

namespace scenario {
namespace {

const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

bool SameName(const WCHAR* a, const WCHAR* b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}

using PortOpen = PortTest;

TEST_F(PortOpen, TheSerialDeviceMapNamesThePort) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), ERROR_SUCCESS);
    bool found = false;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        BYTE data[256];
        DWORD cch = 256, cb = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &cb) != ERROR_SUCCESS) break;
        if (type == REG_SZ && SameName(reinterpret_cast<const WCHAR*>(data), PortName())) found = true;
    }
    RegCloseKey(key);
    EXPECT_TRUE(found);
}

TEST_F(PortOpen, TheComPortInterfaceOpensThePort) {
    HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    int opened = 0;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kComPortInterface, i, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD need = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<uint8_t> storage(need);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
        HANDLE h = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;  // another port, or one in use
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        EXPECT_TRUE(GetCommState(h, &dcb) || GetLastError() == static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        CloseHandle(h);
        ++opened;
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_GE(opened, 1);
}

TEST_F(PortOpen, BothNameFormsOpenAndOnlyOneOpenerAtATime) {
    HANDLE first = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(PortPath(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Close(first);
    // The short name works too once the port is free again.
    HANDLE again = CreateFileW(PortName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(again);
    // Opening and closing again and again leaves the port usable.
    for (int i = 0; i < 5; ++i) Close(Open(FILE_FLAG_OVERLAPPED));
}

TEST_F(PortOpen, ANameWithoutAPortIsNotFound) {
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM250", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace scenario
