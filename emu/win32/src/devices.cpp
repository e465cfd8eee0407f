// The device tree as SetupAPI and the configuration manager show it: the root, and under it each
// device node the emulated PnP manager created, with the properties Windows keeps under the
// node's Enum key or, where the emulation keeps none, what the PnP manager knows of the node.
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "emu/pnp.h"
#include "emu/registry.h"
#include "internal.h"
#include "ntddser.h"
#include "setupapi.h"

using namespace emu::win32;

HKEY OpenKeyObject(const std::string& path);

namespace {

const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char* const kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const DEVINST kRoot = 1;

struct Device {
    DEVINST inst;
    std::string instanceId;
    PDEVICE_OBJECT pdo;
    std::vector<PDRIVER_OBJECT> drivers;
    bool present;
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// Each node keeps its number while it exists.
std::vector<Device> Devices() {
    static std::mutex m;
    static std::map<PDEVICE_OBJECT, DEVINST>* numbers = new std::map<PDEVICE_OBJECT, DEVINST>;
    static DEVINST next = 2;
    std::vector<Device> out;
    std::lock_guard<std::mutex> g(m);
    std::map<PDEVICE_OBJECT, DEVINST> alive;
    for (auto& n : emu::pnp::ListNodes()) {
        auto it = numbers->find(n.pdo);
        DEVINST inst = it != numbers->end() ? it->second : next++;
        alive[n.pdo] = inst;
        out.push_back({inst, n.instanceId, n.pdo, n.drivers, !n.removed});
    }
    *numbers = std::move(alive);
    return out;
}

std::optional<Device> FindDevice(DEVINST inst) {
    for (auto& d : Devices())
        if (d.inst == inst) return d;
    return std::nullopt;
}

std::string Service(const Device& d) {
    if (d.drivers.empty()) return {};
    const UNICODE_STRING& key = d.drivers.back()->DriverExtension->ServiceKeyName;
    std::u16string path(reinterpret_cast<const char16_t*>(key.Buffer), key.Length / 2);
    return emu::io::ToUtf8(path.substr(path.rfind(u'\\') + 1));
}

std::optional<std::u16string> PortName(const Device& d) {
    return emu::registry::GetString(kEnum + d.instanceId + "\\Device Parameters", u"PortName");
}

GUID ClassOf(const Device& d) {
    if (PortName(d)) return kPortsClass;
    return GUID{0x4d36e97e, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};  // Unknown
}

std::u16string GuidString(const GUID& g) {
    char buf[40];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return emu::io::ToU16(buf);
}

struct Property {
    ULONG type;
    std::u16string text;  // with its NUL (two for REG_MULTI_SZ)
};

std::optional<Property> Stored(const Device& d, const std::u16string& name) {
    auto v = emu::registry::GetValue(kEnum + d.instanceId, name);
    if (!v || (v->type != REG_SZ && v->type != REG_MULTI_SZ)) return std::nullopt;
    std::u16string text(v->data.size() / 2, u'\0');
    memcpy(text.data(), v->data.data(), text.size() * 2);
    return Property{v->type, text};
}

Property Sz(const std::u16string& s) { return {REG_SZ, s + u'\0'}; }

// SPDRP_* of a device: the value under its Enum key, else what the PnP manager knows.
std::optional<Property> GetProperty(const Device& d, DWORD spdrp) {
    static const std::map<DWORD, std::u16string> kStoredNames = {
        {SPDRP_DEVICEDESC, u"DeviceDesc"},  {SPDRP_HARDWAREID, u"HardwareID"},
        {SPDRP_COMPATIBLEIDS, u"CompatibleIDs"}, {SPDRP_SERVICE, u"Service"},
        {SPDRP_CLASS, u"Class"},            {SPDRP_CLASSGUID, u"ClassGUID"},
        {SPDRP_DRIVER, u"Driver"},          {SPDRP_MFG, u"Mfg"},
        {SPDRP_FRIENDLYNAME, u"FriendlyName"}, {SPDRP_LOCATION_INFORMATION, u"LocationInformation"}};
    if (auto name = kStoredNames.find(spdrp); name != kStoredNames.end())
        if (auto p = Stored(d, name->second)) return p;
    bool port = PortName(d).has_value();
    switch (spdrp) {
        case SPDRP_DEVICEDESC:
            if (Service(d) == "vcom") return Sz(u"USB Serial Port");  // the install file's description
            return std::nullopt;
        case SPDRP_HARDWAREID: {
            std::string id = d.instanceId.substr(0, d.instanceId.rfind('\\'));
            return Property{REG_MULTI_SZ, emu::io::ToU16(id) + u'\0' + u'\0'};
        }
        case SPDRP_SERVICE:
            if (Service(d).empty()) return std::nullopt;
            return Sz(emu::io::ToU16(Service(d)));
        case SPDRP_CLASS:
            if (!port) return std::nullopt;
            return Sz(u"Ports");
        case SPDRP_CLASSGUID:
            if (!port) return std::nullopt;
            return Sz(GuidString(kPortsClass));
        case SPDRP_FRIENDLYNAME: {
            auto desc = GetProperty(d, SPDRP_DEVICEDESC);
            auto name = PortName(d);
            if (!desc || !name) return std::nullopt;
            desc->text.pop_back();
            return Sz(desc->text + u" (" + *name + u")");
        }
        case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
            if (auto name = emu::io::DeviceName(d.pdo)) return Sz(*name);
            return std::nullopt;
        case SPDRP_ENUMERATOR_NAME:
            return Sz(emu::io::ToU16(d.instanceId.substr(0, d.instanceId.find('\\'))));
        default:
            return std::nullopt;
    }
}

// The bytes of a property in the W or A form.
std::vector<uint8_t> Bytes(const Property& p, bool wide) {
    std::vector<uint8_t> out;
    for (char16_t c : p.text) {
        if (wide) {
            out.push_back(static_cast<uint8_t>(c & 0xFF));
            out.push_back(static_cast<uint8_t>(c >> 8));
        } else {
            out.push_back(c < 256 ? static_cast<uint8_t>(c) : '?');
        }
    }
    return out;
}

// ---- device information sets --------------------------------------------------------------------

struct InfoSet : Object {
    std::vector<Device> devices;
    struct Interface {
        GUID guid;
        std::u16string path;  // "\\?\..." as applications open it
        DEVINST inst;
        bool active;
    };
    std::vector<Interface> interfaces;
};

std::shared_ptr<InfoSet> LookupSet(HDEVINFO h) {
    auto set = std::dynamic_pointer_cast<InfoSet>(Lookup(h));
    if (!set) SetLastError(ERROR_INVALID_HANDLE);
    return set;
}

const Device* Member(const InfoSet& set, PSP_DEVINFO_DATA data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    for (const Device& d : set.devices)
        if (d.inst == data->DevInst) return &d;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void Describe(const Device& d, PSP_DEVINFO_DATA data) {
    data->ClassGuid = ClassOf(d);
    data->DevInst = d.inst;
    data->Reserved = 0;
}

bool Matches(const Device& d, const std::string& enumerator) {
    if (enumerator.empty()) return true;
    std::string id = Upper(d.instanceId), e = Upper(enumerator);
    return id == e || id.rfind(e + "\\", 0) == 0;
}

HDEVINFO GetClassDevs(const GUID* guid, const std::string& enumerator, DWORD flags) {
    const DWORD all = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
    if (flags & ~all) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    bool allClasses = flags & DIGCF_ALLCLASSES, present = flags & DIGCF_PRESENT;
    if (!guid && !allClasses) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<InfoSet>();
    std::vector<Device> devices = Devices();
    if (flags & DIGCF_DEVICEINTERFACE) {
        // Every interface class a driver of the emulation registers, when all are asked for.
        std::vector<GUID> classes;
        if (allClasses || !guid) classes.push_back(GUID_DEVINTERFACE_COMPORT);
        else classes.push_back(*guid);
        for (const GUID& g : classes) {
            for (const auto& i : emu::io::ListInterfaces(g, present)) {
                const Device* owner = nullptr;
                for (const Device& d : devices)
                    if (d.pdo == i.pdo) owner = &d;
                if (!owner || !Matches(*owner, enumerator) || (present && !owner->present)) continue;
                std::u16string path = i.symbolicName;
                if (path.rfind(u"\\??\\", 0) == 0) path = u"\\\\?\\" + path.substr(4);
                set->interfaces.push_back({g, path, owner->inst, i.enabled});
                bool listed = false;
                for (const Device& d : set->devices) listed = listed || d.inst == owner->inst;
                if (!listed) set->devices.push_back(*owner);
            }
        }
    } else {
        for (const Device& d : devices) {
            if (present && !d.present) continue;
            if (!Matches(d, enumerator)) continue;
            GUID c = ClassOf(d);
            if (!allClasses && memcmp(&c, guid, sizeof c) != 0) continue;
            set->devices.push_back(d);
        }
    }
    SetLastError(ERROR_SUCCESS);
    return Insert(set);
}

template <typename Char>
BOOL PutString(const std::u16string& s, Char* out, DWORD room, PDWORD required) {
    if (required) *required = static_cast<DWORD>(s.size() + 1);
    if (!out || room < s.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < s.size(); ++i) out[i] = static_cast<Char>(sizeof(Char) == 1 && s[i] > 255 ? u'?' : s[i]);
    out[s.size()] = 0;
    return TRUE;
}

template <typename Detail>
BOOL InterfaceDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, Detail* detail, DWORD size, PDWORD required,
                     PSP_DEVINFO_DATA info) {
    auto set = LookupSet(h);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved >= set->interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info && info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const auto& i = set->interfaces[data->Reserved];
    using Char = std::remove_reference_t<decltype(detail->DevicePath[0])>;
    DWORD need = static_cast<DWORD>(offsetof(Detail, DevicePath) + (i.path.size() + 1) * sizeof(Char));
    if (required) *required = need;
    if (!detail && size != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail && detail->cbSize != sizeof(Detail)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!detail || size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t k = 0; k < i.path.size(); ++k) detail->DevicePath[k] = static_cast<Char>(i.path[k]);
    detail->DevicePath[i.path.size()] = 0;
    if (info)
        for (const Device& d : set->devices)
            if (d.inst == i.inst) Describe(d, info);
    return TRUE;
}

BOOL RegistryProperty(HDEVINFO h, PSP_DEVINFO_DATA info, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
                      PDWORD required, bool wide) {
    auto set = LookupSet(h);
    if (!set) return FALSE;
    const Device* d = Member(*set, info);
    if (!d) return FALSE;
    if (property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (!buffer && size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto p = GetProperty(*d, property);
    if (!p) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::vector<uint8_t> bytes = Bytes(*p, wide);
    if (type) *type = p->type;
    if (required) *required = static_cast<DWORD>(bytes.size());
    if (size < bytes.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, bytes.data(), bytes.size());
    return TRUE;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
    return GetClassDevs(ClassGuid, Enumerator ? Narrow(Enumerator) : std::string(), Flags);
}

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    return GetClassDevs(ClassGuid, Enumerator ? Enumerator : "", Flags);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = LookupSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInfoData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->devices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    Describe(set->devices[MemberIndex], DeviceInfoData);
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = LookupSet(DeviceInfoSet);
    if (!set) return FALSE;
    if (!InterfaceClassGuid || !DeviceInterfaceData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const Device* only = nullptr;
    if (DeviceInfoData && !(only = Member(*set, DeviceInfoData))) return FALSE;
    DWORD seen = 0;
    for (size_t k = 0; k < set->interfaces.size(); ++k) {
        const auto& i = set->interfaces[k];
        if (memcmp(&i.guid, InterfaceClassGuid, sizeof(GUID)) != 0 || (only && only->inst != i.inst)) continue;
        if (seen++ != MemberIndex) continue;
        DeviceInterfaceData->InterfaceClassGuid = i.guid;
        DeviceInterfaceData->Flags = i.active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = k;
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W Detail, DWORD DetailSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    return InterfaceDetail(DeviceInfoSet, DeviceInterfaceData, Detail, DetailSize, RequiredSize, DeviceInfoData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A Detail, DWORD DetailSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    return InterfaceDetail(DeviceInfoSet, DeviceInterfaceData, Detail, DetailSize, RequiredSize, DeviceInfoData);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    return RegistryProperty(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                            PropertyBufferSize, RequiredSize, true);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    return RegistryProperty(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                            PropertyBufferSize, RequiredSize, false);
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    auto set = LookupSet(DeviceInfoSet);
    if (!set) return FALSE;
    const Device* d = Member(*set, DeviceInfoData);
    if (!d) return FALSE;
    return PutString(emu::io::ToU16(d->instanceId), DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    auto set = LookupSet(DeviceInfoSet);
    if (!set) return FALSE;
    const Device* d = Member(*set, DeviceInfoData);
    if (!d) return FALSE;
    return PutString(emu::io::ToU16(d->instanceId), DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD, DWORD KeyType,
                          REGSAM) {
    auto fail = [](DWORD e) {
        SetLastError(e);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    };
    auto set = LookupSet(DeviceInfoSet);
    if (!set) return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    const Device* d = Member(*set, DeviceInfoData);
    if (!d) return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) return fail(ERROR_INVALID_FLAGS);
    if (KeyType != DIREG_DEV && KeyType != DIREG_DRV) return fail(ERROR_INVALID_FLAGS);
    // The driver (software) key is not kept by the emulation: only the hardware key exists.
    std::string path = KeyType == DIREG_DEV ? kEnum + d->instanceId + "\\Device Parameters" : std::string();
    if (path.empty() || !emu::registry::KeyExists(path)) return fail(ERROR_KEY_DOES_NOT_EXIST);
    return OpenKeyObject(path);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!LookupSet(DeviceInfoSet)) return FALSE;
    Remove(DeviceInfoSet);
    return TRUE;
}

// ---- configuration manager ----------------------------------------------------------------------

namespace {

std::optional<std::u16string> DeviceId(DEVINST inst) {
    if (inst == kRoot) return std::u16string(u"HTREE\\ROOT\\0");
    if (auto d = FindDevice(inst)) return emu::io::ToU16(d->instanceId);
    return std::nullopt;
}

template <typename Char>
CONFIGRET PutId(DEVINST inst, Char* buffer, ULONG length, ULONG flags) {
    if (flags) return CR_INVALID_FLAG;
    if (!buffer) return CR_INVALID_POINTER;
    auto id = DeviceId(inst);
    if (!id) return CR_INVALID_DEVNODE;
    size_t n = std::min<size_t>(id->size(), length);
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<Char>((*id)[i]);
    if (length <= id->size()) return CR_BUFFER_SMALL;  // as much as fits, no NUL
    buffer[id->size()] = 0;
    return CR_SUCCESS;
}

CONFIGRET NodeProperty(DEVINST inst, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG flags,
                       bool wide) {
    if (flags) return CR_INVALID_FLAG;
    if (!length || (!buffer && *length)) return CR_INVALID_POINTER;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    if (inst == kRoot) return CR_NO_SUCH_VALUE;
    auto d = FindDevice(inst);
    if (!d) return CR_INVALID_DEVNODE;
    auto p = GetProperty(*d, property - 1);  // CM_DRP_* is SPDRP_* + 1
    if (!p) return CR_NO_SUCH_VALUE;
    std::vector<uint8_t> bytes = Bytes(*p, wide);
    if (type) *type = p->type;
    if (*length < bytes.size()) {
        *length = static_cast<ULONG>(bytes.size());
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, bytes.data(), bytes.size());
    *length = static_cast<ULONG>(bytes.size());
    return CR_SUCCESS;
}

CONFIGRET Locate(PDEVINST out, const std::string& id, ULONG flags) {
    if (!out) return CR_INVALID_POINTER;
    if (flags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_PHANTOM)) return CR_INVALID_FLAG;
    if (id.empty() || Upper(id) == "HTREE\\ROOT\\0") {
        *out = kRoot;
        return CR_SUCCESS;
    }
    for (const Device& d : Devices()) {
        if (Upper(d.instanceId) != Upper(id)) continue;
        if (!d.present && !(flags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
        *out = d.inst;
        return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
}

}  // namespace

CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
    return Locate(pdnDevInst, pDeviceID ? Narrow(pDeviceID) : std::string(), ulFlags);
}

CONFIGRET CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    return Locate(pdnDevInst, pDeviceID ? pDeviceID : "", ulFlags);
}

// Every device node of the emulation hangs from the root.
CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags) return CR_INVALID_FLAG;
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (dnDevInst == kRoot) return CR_NO_SUCH_DEVNODE;
    if (!FindDevice(dnDevInst)) return CR_INVALID_DEVNODE;
    *pdnDevInst = kRoot;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags) return CR_INVALID_FLAG;
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (dnDevInst != kRoot) return FindDevice(dnDevInst) ? CR_NO_SUCH_DEVNODE : CR_INVALID_DEVNODE;
    for (const Device& d : Devices())
        if (d.present) {
            *pdnDevInst = d.inst;
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags) return CR_INVALID_FLAG;
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (dnDevInst == kRoot) return CR_NO_SUCH_DEVNODE;
    bool after = false, known = false;
    for (const Device& d : Devices()) {
        if (after && d.present) {
            *pdnDevInst = d.inst;
            return CR_SUCCESS;
        }
        if (d.inst == dnDevInst) after = known = true;
    }
    return known ? CR_NO_SUCH_DEVNODE : CR_INVALID_DEVNODE;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags) return CR_INVALID_FLAG;
    if (!pulLen) return CR_INVALID_POINTER;
    auto id = DeviceId(dnDevInst);
    if (!id) return CR_INVALID_DEVNODE;
    *pulLen = static_cast<ULONG>(id->size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return PutId(dnDevInst, Buffer, BufferLen, ulFlags);
}

CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return PutId(dnDevInst, Buffer, BufferLen, ulFlags);
}

CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType, PVOID Buffer,
                                            PULONG pulLength, ULONG ulFlags) {
    return NodeProperty(dnDevInst, ulProperty, pulRegDataType, Buffer, pulLength, ulFlags, true);
}

CONFIGRET CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType, PVOID Buffer,
                                            PULONG pulLength, ULONG ulFlags) {
    return NodeProperty(dnDevInst, ulProperty, pulRegDataType, Buffer, pulLength, ulFlags, false);
}

// ---- DOS device names ---------------------------------------------------------------------------

namespace {

template <typename Char>
DWORD PutMultiSz(const std::vector<std::u16string>& names, Char* out, DWORD room) {
    size_t need = 1;
    for (auto& n : names) need += n.size() + 1;
    if (!out || room < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t k = 0;
    for (auto& n : names) {
        for (char16_t c : n) out[k++] = static_cast<Char>(sizeof(Char) == 1 && c > 255 ? u'?' : c);
        out[k++] = 0;
    }
    out[k++] = 0;
    return static_cast<DWORD>(k);
}

// With a name, the target of its link ("COM7" -> "\Device\..."); without, every DOS device name.
template <typename Char>
DWORD QueryDos(const std::optional<std::string>& name, Char* out, DWORD room) {
    std::vector<std::u16string> result;
    if (!name) {
        for (const auto& link : emu::io::Links()) {
            size_t slash = link.rfind(u'\\');
            result.push_back(link.substr(slash + 1));
        }
    } else {
        auto target = emu::io::ResolveLink(emu::io::ToU16("\\DosDevices\\" + *name));
        if (!target) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        result.push_back(*target);
    }
    return PutMultiSz(result, out, room);
}

}  // namespace

DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    return QueryDos(lpDeviceName ? std::optional<std::string>(Narrow(lpDeviceName)) : std::nullopt, lpTargetPath,
                    ucchMax);
}

DWORD QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    return QueryDos(lpDeviceName ? std::optional<std::string>(lpDeviceName) : std::nullopt, lpTargetPath, ucchMax);
}
