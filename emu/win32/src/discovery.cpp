// Port discovery as applications do it: the SERIALCOMM device map through the registry
// functions, the DOS device names, and the device nodes and their interfaces through SetupAPI
// and the configuration manager, over what the emulated PnP manager knows.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "emu/pnp.h"
#include "emu/registry.h"
#include "internal.h"
#include "setupapi.h"

using namespace emu::win32;

namespace {

struct KeyObject : Object {
    std::string path;
};

const char* const kMachine = "\\Registry\\Machine";

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

HKEY OpenKeyObject(const std::string& path);

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    std::string base;
    if (hKey == HKEY_LOCAL_MACHINE) base = kMachine;
    else if (auto k = LookupKey(hKey)) base = k->path;
    else return ERROR_INVALID_HANDLE;
    std::string sub = Narrow(lpSubKey);
    std::string path = sub.empty() ? base : base + "\\" + sub;
    // A key with subkeys exists even where only its subkeys were created, as in a real hive.
    if (!emu::registry::KeyExists(path) && emu::registry::Subkeys(path).empty()) return ERROR_FILE_NOT_FOUND;
    *phkResult = OpenKeyObject(path);
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD options, REGSAM sam, PHKEY phkResult) {
    std::u16string wide;
    for (const char* p = lpSubKey; p && *p; ++p) wide += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return RegOpenKeyExW(hKey, lpSubKey ? AsWide(wide) : nullptr, options, sam, phkResult);
}

HKEY OpenKeyObject(const std::string& path) {
    auto key = std::make_shared<KeyObject>();
    key->path = path;
    return reinterpret_cast<HKEY>(Insert(key));
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

namespace {

std::u16string AnsiToU16(const char* s) {
    std::u16string out;
    for (; s && *s; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
    return out;
}

// The A forms: names and REG_SZ/REG_MULTI_SZ/REG_EXPAND_SZ data in the ANSI code page.
std::vector<uint8_t> NarrowData(const emu::registry::Value& v) {
    if (v.type != REG_SZ && v.type != REG_MULTI_SZ && v.type != REG_EXPAND_SZ) return v.data;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        out.push_back(c < 256 ? static_cast<uint8_t>(c) : '?');
    }
    return out;
}

LSTATUS PutNameA(const std::u16string& name, LPSTR out, LPDWORD cch) {
    if (!cch) return ERROR_INVALID_PARAMETER;
    if (!out || *cch < name.size() + 1) {
        *cch = static_cast<DWORD>(name.size());
        return ERROR_MORE_DATA;
    }
    for (size_t i = 0; i < name.size(); ++i) out[i] = name[i] < 256 ? static_cast<char>(name[i]) : '?';
    out[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    auto key = LookupKey(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    auto values = emu::registry::Values(key->path);
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const auto& [name, value] = values[dwIndex];
    LSTATUS s = PutNameA(name, lpValueName, lpcchValueName);
    if (s != ERROR_SUCCESS) return s;
    emu::registry::Value narrow{value.type, NarrowData(value)};
    return PutData(narrow, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    auto key = LookupKey(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    auto value = emu::registry::GetValue(key->path, AnsiToU16(lpValueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    emu::registry::Value narrow{value->type, NarrowData(*value)};
    return PutData(narrow, lpType, lpData, lpcbData);
}

namespace {

// Sizes are in characters for names and in bytes for data, without the NUL, as Windows counts.
LSTATUS QueryInfo(HKEY hKey, LPDWORD lpcchClass, LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                  LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                  PFILETIME lpftLastWriteTime, bool wide) {
    auto key = LookupKey(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    auto subkeys = emu::registry::Subkeys(key->path);
    auto values = emu::registry::Values(key->path);
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (auto& k : subkeys) maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(k.size()));
    for (auto& [name, v] : values) {
        maxName = std::max<DWORD>(maxName, static_cast<DWORD>(name.size()));
        DWORD size = static_cast<DWORD>(v.data.size());
        if (!wide && (v.type == REG_SZ || v.type == REG_MULTI_SZ || v.type == REG_EXPAND_SZ)) size /= 2;
        maxData = std::max(maxData, size);
    }
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subkeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};  // the emulation keeps no times
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
    return QueryInfo(hKey, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                     lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime, true);
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
    return QueryInfo(hKey, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                     lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime, false);
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (!LookupKey(hKey)) return ERROR_INVALID_HANDLE;
    Remove(reinterpret_cast<HANDLE>(hKey));
    return ERROR_SUCCESS;
}

