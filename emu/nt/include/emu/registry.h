// The emulated registry, for the test bed: keys by full path ("\Registry\Machine\..."), values
// as type and bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../nt/types.h"

namespace emu::registry {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

void CreateKey(const std::string& path);
void DeleteKey(const std::string& path);  // and its subkeys
bool KeyExists(const std::string& path);
std::vector<std::string> Subkeys(const std::string& path);  // names of the direct subkeys, upper-cased
void SetValue(const std::string& path, const std::u16string& name, ULONG type, std::vector<uint8_t> data);
void SetDword(const std::string& path, const std::u16string& name, ULONG value);
void SetString(const std::string& path, const std::u16string& name, const std::u16string& value);  // REG_SZ with NUL
std::optional<Value> GetValue(const std::string& path, const std::u16string& name);
std::optional<std::u16string> GetString(const std::string& path, const std::u16string& name);
std::vector<std::pair<std::u16string, Value>> Values(const std::string& path);
bool DeleteValue(const std::string& path, const std::u16string& name);

// A kernel handle on an existing key (STATUS_OBJECT_NAME_NOT_FOUND otherwise).
NTSTATUS OpenKeyHandle(const std::string& path, PHANDLE handle);
// Makes OpenKeyHandle of this key fail with the status (to test unreadable keys); 0 clears.
void FailOpen(const std::string& path, NTSTATUS status);

// Forgets every key (test start); open handles are reported by the end-of-test check.
void Reset();

constexpr const char* kDeviceMap = "\\Registry\\Machine\\Hardware\\DeviceMap";

}  // namespace emu::registry
