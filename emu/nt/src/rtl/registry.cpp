// The emulated registry: keys by case-insensitive full path, kernel handles, value queries in
// the Windows layouts and statuses, and the RtlWriteRegistryValue family.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "emu/registry.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "nt/rtl.h"

namespace emu::registry {
namespace {

// memcpy with a count of 0 may be given the null data() of an empty value.
void CopyBytes(void* to, const void* from, size_t n) {
    if (n) memcpy(to, from, n);
}

struct Key {
    std::string path;  // as first created
    std::map<std::u16string, std::pair<std::u16string, Value>> values;  // upper-cased name -> (name, value)
};

struct State {
    std::mutex m;
    std::map<std::string, Key> keys;  // upper-cased path
    std::map<ULONG_PTR, std::string> handles;
    std::map<std::string, NTSTATUS> failOpen;
    ULONG_PTR nextHandle = 0x1000;
};

State& St() {
    static State* s = new State;
    return *s;
}

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}
std::u16string Upper(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
}
std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}
std::u16string Wide(PCWSTR s) {
    std::u16string out;
    if (s)
        for (size_t i = 0; s[i]; ++i) out += static_cast<char16_t>(s[i]);
    return out;
}
std::u16string Wide(const UNICODE_STRING* s) {
    std::u16string out;
    if (s && s->Buffer)
        for (USHORT i = 0; i < s->Length / 2; ++i) out += static_cast<char16_t>(s->Buffer[i]);
    return out;
}

Key& CreateLocked(State& s, const std::string& path) {
    auto& key = s.keys[Upper(path)];
    if (key.path.empty()) key.path = path;
    return key;
}

Key* FindByHandle(State& s, HANDLE h) {
    auto it = s.handles.find(reinterpret_cast<ULONG_PTR>(h));
    if (it == s.handles.end()) return nullptr;
    auto k = s.keys.find(it->second);
    return k == s.keys.end() ? nullptr : &k->second;
}

[[maybe_unused]] const bool registered = [] {
    testing::AddEndOfTestCheck("registry.handles", [] {
        size_t open;
        {
            std::lock_guard<std::mutex> g(St().m);
            open = St().handles.size();
            St().handles.clear();
        }
        if (open)
            verifier::Raise(verifier::Fault::ObjectMisuse,
                            std::to_string(open) + " registry key handle(s) left open (ZwClose missing)");
    });
    return true;
}();

std::string RelativePath(ULONG relativeTo, const std::u16string& path) {
    std::string p = Narrow(path);
    switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
        case RTL_REGISTRY_ABSOLUTE: return p;
        case RTL_REGISTRY_SERVICES: return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + p;
        case RTL_REGISTRY_CONTROL: return "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + p;
        case RTL_REGISTRY_WINDOWS_NT: return "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\" + p;
        case RTL_REGISTRY_DEVICEMAP: return std::string(kDeviceMap) + "\\" + p;
        default: return {};
    }
}

}  // namespace

void CreateKey(const std::string& path) {
    std::lock_guard<std::mutex> g(St().m);
    CreateLocked(St(), path);
}

void DeleteKey(const std::string& path) {
    std::lock_guard<std::mutex> g(St().m);
    std::string up = Upper(path);
    std::erase_if(St().keys, [&](auto& kv) { return kv.first == up || kv.first.rfind(up + "\\", 0) == 0; });
}

bool KeyExists(const std::string& path) {
    std::lock_guard<std::mutex> g(St().m);
    return St().keys.count(Upper(path)) != 0;
}

std::vector<std::string> Subkeys(const std::string& path) {
    std::lock_guard<std::mutex> g(St().m);
    std::string prefix = Upper(path) + "\\";
    std::vector<std::string> out;
    for (auto& [up, key] : St().keys) {
        if (up.rfind(prefix, 0) != 0) continue;
        std::string name = up.substr(prefix.size(), up.find('\\', prefix.size()) - prefix.size());
        out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void SetValue(const std::string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> g(St().m);
    CreateLocked(St(), path).values[Upper(name)] = {name, Value{type, std::move(data)}};
}

void SetDword(const std::string& path, const std::u16string& name, ULONG value) {
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    SetValue(path, name, REG_DWORD, std::move(data));
}

void SetString(const std::string& path, const std::u16string& name, const std::u16string& value) {
    std::vector<uint8_t> data((value.size() + 1) * 2, 0);
    CopyBytes(data.data(), value.data(), value.size() * 2);
    SetValue(path, name, REG_SZ, std::move(data));
}

std::optional<Value> GetValue(const std::string& path, const std::u16string& name) {
    std::lock_guard<std::mutex> g(St().m);
    auto k = St().keys.find(Upper(path));
    if (k == St().keys.end()) return std::nullopt;
    auto v = k->second.values.find(Upper(name));
    if (v == k->second.values.end()) return std::nullopt;
    return v->second.second;
}

std::optional<std::u16string> GetString(const std::string& path, const std::u16string& name) {
    auto v = GetValue(path, name);
    if (!v) return std::nullopt;
    std::u16string s(v->data.size() / 2, u'\0');
    CopyBytes(s.data(), v->data.data(), s.size() * 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

std::vector<std::pair<std::u16string, Value>> Values(const std::string& path) {
    std::lock_guard<std::mutex> g(St().m);
    std::vector<std::pair<std::u16string, Value>> out;
    auto k = St().keys.find(Upper(path));
    if (k != St().keys.end())
        for (auto& [up, nv] : k->second.values) out.push_back(nv);
    return out;
}

bool DeleteValue(const std::string& path, const std::u16string& name) {
    std::lock_guard<std::mutex> g(St().m);
    auto k = St().keys.find(Upper(path));
    return k != St().keys.end() && k->second.values.erase(Upper(name)) != 0;
}

NTSTATUS OpenKeyHandle(const std::string& path, PHANDLE handle) {
    std::lock_guard<std::mutex> g(St().m);
    std::string up = Upper(path);
    auto f = St().failOpen.find(up);
    if (f != St().failOpen.end()) return f->second;
    if (!St().keys.count(up)) return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG_PTR h = St().nextHandle += 4;
    St().handles[h] = up;
    *handle = reinterpret_cast<HANDLE>(h);
    return STATUS_SUCCESS;
}

void FailOpen(const std::string& path, NTSTATUS status) {
    std::lock_guard<std::mutex> g(St().m);
    if (status == 0) St().failOpen.erase(Upper(path));
    else St().failOpen[Upper(path)] = status;
}

void Reset() {
    std::lock_guard<std::mutex> g(St().m);
    St().keys.clear();
    St().failOpen.clear();
}

}  // namespace emu::registry

using namespace emu::registry;

extern "C" {

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    std::lock_guard<std::mutex> g(St().m);
    Key* key = FindByHandle(St(), KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    auto it = key->values.find(Upper(Wide(ValueName)));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const std::u16string& name = it->second.first;
    const Value& value = it->second.second;
    ULONG nameBytes = static_cast<ULONG>(name.size() * 2);
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    auto* out = static_cast<PUCHAR>(KeyValueInformation);
    switch (KeyValueInformationClass) {
        case KeyValueFullInformation: {
            ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
            ULONG total = dataOffset + dataBytes;
            *ResultLength = total;
            if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_FULL_INFORMATION info{};
            info.Type = value.type;
            info.DataOffset = dataOffset;
            info.DataLength = dataBytes;
            info.NameLength = nameBytes;
            memcpy(out, &info, fixed);
            if (Length < total) {
                CopyBytes(out + fixed, name.data(), std::min(nameBytes, Length - fixed));
                return STATUS_BUFFER_OVERFLOW;
            }
            CopyBytes(out + fixed, name.data(), nameBytes);
            memset(out + fixed + nameBytes, 0, dataOffset - fixed - nameBytes);
            CopyBytes(out + dataOffset, value.data.data(), dataBytes);
            return STATUS_SUCCESS;
        }
        case KeyValuePartialInformation: {
            ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            ULONG total = fixed + dataBytes;
            *ResultLength = total;
            if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_PARTIAL_INFORMATION info{};
            info.Type = value.type;
            info.DataLength = dataBytes;
            memcpy(out, &info, fixed);
            if (Length < total) {
                CopyBytes(out + fixed, value.data.data(), Length - fixed);
                return STATUS_BUFFER_OVERFLOW;
            }
            CopyBytes(out + fixed, value.data.data(), dataBytes);
            return STATUS_SUCCESS;
        }
        case KeyValueBasicInformation: {
            ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            ULONG total = fixed + nameBytes;
            *ResultLength = total;
            if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
            KEY_VALUE_BASIC_INFORMATION info{};
            info.Type = value.type;
            info.NameLength = nameBytes;
            memcpy(out, &info, fixed);
            if (Length < total) {
                CopyBytes(out + fixed, name.data(), Length - fixed);
                return STATUS_BUFFER_OVERFLOW;
            }
            CopyBytes(out + fixed, name.data(), nameBytes);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize) {
    std::lock_guard<std::mutex> g(St().m);
    Key* key = FindByHandle(St(), KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    std::u16string name = Wide(ValueName);
    auto* bytes = static_cast<const uint8_t*>(Data);
    key->values[Upper(name)] = {name, Value{Type, std::vector<uint8_t>(bytes, bytes + DataSize)}};
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace {
// The full path the attributes name, or empty when the root handle is bad or no name is given.
std::string AttributesPath(State& s, POBJECT_ATTRIBUTES attributes) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) return {};
    std::string name = Narrow(Wide(attributes->ObjectName));
    if (attributes->RootDirectory == nullptr) return name;
    Key* root = FindByHandle(s, attributes->RootDirectory);
    if (root == nullptr) return {};
    return name.empty() ? root->path : root->path + "\\" + name;
}

HANDLE NewHandleLocked(State& s, const std::string& path) {
    ULONG_PTR h = s.nextHandle += 4;
    s.handles[h] = Upper(path);
    return reinterpret_cast<HANDLE>(h);
}
}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(St().m);
    if (ObjectAttributes && ObjectAttributes->RootDirectory && !FindByHandle(St(), ObjectAttributes->RootDirectory))
        return STATUS_INVALID_HANDLE;
    std::string path = AttributesPath(St(), ObjectAttributes);
    if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::string up = Upper(path);
    auto f = St().failOpen.find(up);
    if (f != St().failOpen.end()) return f->second;
    if (!St().keys.count(up)) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = NewHandleLocked(St(), path);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING,
                     ULONG, PULONG Disposition) {
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(St().m);
    if (ObjectAttributes && ObjectAttributes->RootDirectory && !FindByHandle(St(), ObjectAttributes->RootDirectory))
        return STATUS_INVALID_HANDLE;
    std::string path = AttributesPath(St(), ObjectAttributes);
    if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
    auto f = St().failOpen.find(Upper(path));
    if (f != St().failOpen.end()) return f->second;
    bool existed = St().keys.count(Upper(path)) != 0;
    CreateLocked(St(), path);
    if (Disposition) *Disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *KeyHandle = NewHandleLocked(St(), path);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    std::lock_guard<std::mutex> g(St().m);
    Key* key = FindByHandle(St(), KeyHandle);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    return key->values.erase(Upper(Wide(ValueName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwClose(HANDLE Handle) {
    std::lock_guard<std::mutex> g(St().m);
    return St().handles.erase(reinterpret_cast<ULONG_PTR>(Handle)) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    std::string path = RelativePath(RelativeTo, Wide(Path));
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    SetValue(path, Wide(ValueName), ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    std::string path = RelativePath(RelativeTo, Wide(Path));
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    if (!KeyExists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeleteValue(path, Wide(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
