// Finding ports as programs do: the device tree of SetupAPI and the configuration manager, DOS
// device names and registry key information, over a real stack (COM7) and what the PnP manager
// knows of it. Each function's refusals are those Windows documents.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../driver/stack.h"
#include "emu/registry.h"
#include "emu/win32.h"
#include "setupapi.h"

namespace {

const GUID kPorts = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class Win32Devices : public ::testing::Test {
protected:
    void SetUp() override { emu::win32::DriveClockFromThisThread(); }
    // The port's device in a Ports-class set.
    HDEVINFO PortsSet(SP_DEVINFO_DATA* dev) {
        HDEVINFO set = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        dev->cbSize = sizeof *dev;
        EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, dev));
        return set;
    }
    vcomtest::Stack stack;
};

std::string A(const std::vector<char>& v) { return std::string(v.data()); }

TEST_F(Win32Devices, ClassSetsForEveryFlagCombinationWindowsAccepts) {
    struct Case {
        const GUID* guid;
        const char* enumerator;
        DWORD flags;
        int devices;  // -1: refused with `error`
        DWORD error;
    } cases[] = {
        {&kPorts, nullptr, DIGCF_PRESENT, 1, 0},
        {&kPorts, nullptr, 0, 1, 0},
        {&kPorts, nullptr, DIGCF_PROFILE, 1, 0},
        {&kPorts, "USB", DIGCF_PRESENT, 1, 0},
        {&kPorts, "PCI", DIGCF_PRESENT, 0, 0},
        {nullptr, nullptr, DIGCF_ALLCLASSES, 1, 0},
        {nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT | DIGCF_PROFILE, 1, 0},
        {&GUID_DEVINTERFACE_COMPORT, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, 1, 0},
        {&GUID_DEVINTERFACE_COMPORT, "USB\\VID_1234&PID_5678\\0001", DIGCF_DEVICEINTERFACE, 1, 0},
        {&GUID_DEVINTERFACE_COMPORT, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_DEFAULT, 1, 0},
        {nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES | DIGCF_PRESENT, 1, 0},
        {&GUID_DEVINTERFACE_COMPORT, nullptr, DIGCF_PRESENT, 0, 0},  // an interface class is no setup class
        {nullptr, nullptr, DIGCF_PRESENT, -1, ERROR_INVALID_PARAMETER},
        {nullptr, nullptr, DIGCF_DEVICEINTERFACE, -1, ERROR_INVALID_PARAMETER},
        {&kPorts, nullptr, 0x100, -1, ERROR_INVALID_FLAGS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << (c.guid ? "" : ", no class"));
        HDEVINFO set = SetupDiGetClassDevsA(c.guid, c.enumerator, nullptr, c.flags);
        if (c.devices < 0) {
            EXPECT_EQ(set, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA dev;
        dev.cbSize = sizeof dev;
        int n = 0;
        while (SetupDiEnumDeviceInfo(set, n, &dev)) ++n;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_EQ(n, c.devices);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
}

TEST_F(Win32Devices, PropertiesAndTheHardwareKeyOfThePort) {
    SP_DEVINFO_DATA dev;
    HDEVINFO set = PortsSet(&dev);
    EXPECT_EQ(memcmp(&dev.ClassGuid, &kPorts, sizeof(GUID)), 0);
    struct Case {
        DWORD property;
        DWORD type;
        const char* value;  // the first string
    } cases[] = {
        {SPDRP_DEVICEDESC, REG_SZ, "USB Serial Port"},
        {SPDRP_FRIENDLYNAME, REG_SZ, "USB Serial Port (COM7)"},
        {SPDRP_HARDWAREID, REG_MULTI_SZ, "USB\\VID_1234&PID_5678"},
        {SPDRP_SERVICE, REG_SZ, "vcom"},
        {SPDRP_CLASS, REG_SZ, "Ports"},
        {SPDRP_CLASSGUID, REG_SZ, "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
        {SPDRP_ENUMERATOR_NAME, REG_SZ, "USB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        DWORD type = 0, need = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, c.property, &type, nullptr, 0, &need));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(need, strlen(c.value) + (c.type == REG_MULTI_SZ ? 2 : 1));
        std::vector<char> a(need);
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, c.property, &type, reinterpret_cast<PBYTE>(a.data()),
                                                      need, nullptr));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(A(a), c.value);
        // The W form: the same text in WCHARs, and the configuration manager's view agrees.
        std::vector<WCHAR> w(need);
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &dev, c.property, nullptr,
                                                      reinterpret_cast<PBYTE>(w.data()), need * 2, nullptr));
        EXPECT_EQ(w[0], static_cast<WCHAR>(c.value[0]));
        ULONG length = need;
        EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(dev.DevInst, c.property + 1, &type, a.data(), &length, 0),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        EXPECT_EQ(A(a), c.value);
    }
    DWORD need = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_MFG, nullptr, nullptr, 0, &need));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    ULONG length = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(dev.DevInst, CM_DRP_MFG, nullptr, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));

    // "PortName" in the device's hardware key; no driver key in the emulation.
    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    WCHAR name[16];
    DWORD cb = sizeof name, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<LPBYTE>(name), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 10u);
    EXPECT_EQ(name[3], '7');
    RegCloseKey(key);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_KEY_DOES_NOT_EXIST);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &dev, 0, 0, DIREG_DEV, KEY_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    SP_DEVINFO_DATA stranger = dev;
    stranger.DevInst = 9999;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &stranger, SPDRP_CLASS, nullptr, nullptr, 0, &need));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Win32Devices, TheConfigurationManagersTree) {
    SP_DEVINFO_DATA dev;
    HDEVINFO set = PortsSet(&dev);
    SetupDiDestroyDeviceInfoList(set);
    char id[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDA(dev.DevInst, id, sizeof id, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_STREQ(id, "USB\\VID_1234&PID_5678\\0001");
    ULONG size = 0;
    EXPECT_EQ(CM_Get_Device_ID_Size(&size, dev.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(size, strlen(id));
    memset(id, 'x', sizeof id);
    EXPECT_EQ(CM_Get_Device_IDA(dev.DevInst, id, 5, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(std::string(id, 6), "USB\\Vx");  // as much as fits, no NUL

    DEVINST parent = 0, child = 0, found = 0;
    ASSERT_EQ(CM_Get_Parent(&parent, dev.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    WCHAR wid[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDW(parent, wid, MAX_DEVICE_ID_LEN, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(wid[0], 'H');  // HTREE\ROOT\0
    EXPECT_EQ(CM_Get_Child(&child, parent, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(child, dev.DevInst);
    EXPECT_EQ(CM_Locate_DevNodeA(&found, const_cast<char*>("usb\\vid_1234&pid_5678\\0001"), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(found, dev.DevInst);

    struct Case {
        CONFIGRET got, expected;
    } cases[] = {
        {CM_Get_Parent(&found, parent, 0), CR_NO_SUCH_DEVNODE},
        {CM_Get_Parent(&found, 9999, 0), CR_INVALID_DEVNODE},
        {CM_Get_Parent(&found, dev.DevInst, 1), CR_INVALID_FLAG},
        {CM_Get_Parent(nullptr, dev.DevInst, 0), CR_INVALID_POINTER},
        {CM_Get_Sibling(&found, dev.DevInst, 0), CR_NO_SUCH_DEVNODE},
        {CM_Get_Child(&found, dev.DevInst, 0), CR_NO_SUCH_DEVNODE},
        {CM_Get_Device_IDA(9999, id, sizeof id, 0), CR_INVALID_DEVNODE},
        {CM_Locate_DevNodeA(&found, const_cast<char*>("USB\\NOSUCH\\1"), 0), CR_NO_SUCH_DEVNODE},
        {CM_Get_DevNode_Registry_PropertyA(dev.DevInst, 0, nullptr, id, &size, 0), CR_INVALID_PROPERTY},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) EXPECT_EQ(cases[i].got, cases[i].expected) << i;
}

TEST_F(Win32Devices, DosDeviceNamesKeyInformationAndDefaultConfiguration) {
    char target[256];
    ASSERT_GT(QueryDosDeviceA("COM7", target, sizeof target), 0u);
    EXPECT_EQ(std::string(target).rfind("\\Device\\", 0), 0u);
    std::vector<WCHAR> all(4096);
    DWORD n = QueryDosDeviceW(nullptr, all.data(), static_cast<DWORD>(all.size()));
    ASSERT_GT(n, 0u);
    EXPECT_EQ(all[n - 1], 0);
    EXPECT_EQ(all[n - 2], 0);
    EXPECT_EQ(QueryDosDeviceA("COM99", target, sizeof target), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(QueryDosDeviceA("COM7", target, 3), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD subkeys = 0, values = 9;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(subkeys, 1u);  // SERIALCOMM
    EXPECT_EQ(values, 0u);
    RegCloseKey(key);
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_INVALID_HANDLE);

    COMMCONFIG cc;
    DWORD size = 4;
    EXPECT_FALSE(GetDefaultCommConfigA("COM7", &cc, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(COMMCONFIG));
    emu::registry::SetString("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports", u"COM7:",
                             u"19200,e,7,2");
    ASSERT_TRUE(GetDefaultCommConfigW(L"com7", &cc, &size));
    EXPECT_EQ(cc.dcb.BaudRate, 19200u);
    EXPECT_EQ(cc.dcb.Parity, EVENPARITY);
    EXPECT_EQ(cc.dcb.ByteSize, 7);
    EXPECT_EQ(cc.dwProviderSubType, static_cast<DWORD>(PST_RS232));
    EXPECT_FALSE(GetDefaultCommConfigA("COM99", &cc, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
