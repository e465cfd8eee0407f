// Port discovery as applications do it: the SERIALCOMM device map through the registry
// functions, and the COM-port device interface through SetupAPI.
#include <cstddef>
#include <cstring>
#include <vector>

#include "emu/registry.h"
#include "internal.h"
#include "setupapi.h"

using namespace emu::win32;

namespace {

struct KeyObject : Object {
    std::string path;
};

struct InterfaceList : Object {
    GUID guid;
    std::vector<std::u16string> paths;  // "\\?\..." as applications open them
};

const char* const kMachine = "\\Registry\\Machine";

std::string Narrow(LPCWSTR s) {
    std::string out;
    for (; s && *s; ++s) out += *s < 128 ? static_cast<char>(*s) : '?';
    return out;
}

std::u16string Wide(LPCWSTR s) {
    std::u16string out;
    for (; s && *s; ++s) out += static_cast<char16_t>(*s);
    return out;
}

std::shared_ptr<KeyObject> LookupKey(HKEY key) {
    return std::dynamic_pointer_cast<KeyObject>(Lookup(reinterpret_cast<HANDLE>(key)));
}

// Copies a name with its NUL into a caller's buffer counted in characters.
LSTATUS PutName(const std::u16string& name, LPWSTR out, LPDWORD cch) {
    if (!cch) return ERROR_INVALID_PARAMETER;
    if (!out || *cch < name.size() + 1) {
        *cch = static_cast<DWORD>(name.size());
        return ERROR_MORE_DATA;
    }
    for (size_t i = 0; i < name.size(); ++i) out[i] = static_cast<WCHAR>(name[i]);
    out[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LSTATUS PutData(const emu::registry::Value& v, LPDWORD type, LPBYTE data, LPDWORD cb) {
    if (type) *type = v.type;
    if (!cb) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data && *cb < need) {
        *cb = need;
        return ERROR_MORE_DATA;
    }
    if (data && need) memcpy(data, v.data.data(), need);
    *cb = need;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    std::string base;
    if (hKey == HKEY_LOCAL_MACHINE) base = kMachine;
    else if (auto k = LookupKey(hKey)) base = k->path;
    else return ERROR_INVALID_HANDLE;
    std::string sub = Narrow(lpSubKey);
    std::string path = sub.empty() ? base : base + "\\" + sub;
    if (!emu::registry::KeyExists(path)) return ERROR_FILE_NOT_FOUND;
    auto key = std::make_shared<KeyObject>();
    key->path = path;
    *phkResult = reinterpret_cast<HKEY>(Insert(key));
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD options, REGSAM sam, PHKEY phkResult) {
    std::basic_string<WCHAR> wide;
    for (const char* p = lpSubKey; p && *p; ++p) wide += static_cast<WCHAR>(static_cast<unsigned char>(*p));
    return RegOpenKeyExW(hKey, lpSubKey ? wide.c_str() : nullptr, options, sam, phkResult);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    auto key = LookupKey(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    auto values = emu::registry::Values(key->path);
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const auto& [name, value] = values[dwIndex];
    LSTATUS s = PutName(name, lpValueName, lpcchValueName);
    if (s != ERROR_SUCCESS) return s;
    return PutData(value, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    auto key = LookupKey(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    auto value = emu::registry::GetValue(key->path, Wide(lpValueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    return PutData(*value, lpType, lpData, lpcbData);
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (!LookupKey(hKey)) return ERROR_INVALID_HANDLE;
    Remove(reinterpret_cast<HANDLE>(hKey));
    return ERROR_SUCCESS;
}

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR, HWND, DWORD Flags) {
    // Only what a port finder asks for: present interfaces of one class.
    if (!ClassGuid || !(Flags & DIGCF_DEVICEINTERFACE) || (Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto list = std::make_shared<InterfaceList>();
    list->guid = *ClassGuid;
    for (const auto& i : emu::io::ListInterfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0)) {
        std::u16string name = i.symbolicName;
        if (name.rfind(u"\\??\\", 0) == 0) name = u"\\\\?\\" + name.substr(4);
        list->paths.push_back(name);
    }
    SetLastError(ERROR_SUCCESS);
    return Insert(list);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto list = std::dynamic_pointer_cast<InterfaceList>(Lookup(DeviceInfoSet));
    if (!list) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        !InterfaceClassGuid || memcmp(InterfaceClassGuid, &list->guid, sizeof(GUID)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (MemberIndex >= list->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = list->guid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W Detail, DWORD DetailSize,
                                      PDWORD RequiredSize, PSP_DEVINFO_DATA) {
    auto list = std::dynamic_pointer_cast<InterfaceList>(Lookup(DeviceInfoSet));
    if (!list) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!DeviceInterfaceData || DeviceInterfaceData->Reserved >= list->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string& path = list->paths[DeviceInterfaceData->Reserved];
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    (path.size() + 1) * sizeof(WCHAR));
    if (RequiredSize) *RequiredSize = need;
    if (!Detail || DetailSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (Detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < path.size(); ++i) Detail->DevicePath[i] = static_cast<WCHAR>(path[i]);
    Detail->DevicePath[path.size()] = 0;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!std::dynamic_pointer_cast<InterfaceList>(Lookup(DeviceInfoSet))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Remove(DeviceInfoSet);
    return TRUE;
}
