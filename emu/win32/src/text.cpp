// Text and process services programs use around the port: code-page conversion, system
// messages, local memory, and the module functions through which programs find ntdll's and
// kernel32's functions at run time.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfgmgr32.h"
#include "internal.h"
#include "setupapi.h"
#include "winternl.h"

namespace emu::win32 {

namespace {

// Windows-1252, the ANSI code page of a western Windows, where it differs from Latin-1.
const char16_t k1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                            0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool AnsiToWide(unsigned char c, char16_t* out) {
    if (c < 0x80 || c >= 0xA0) *out = c;
    else *out = k1252[c - 0x80] ? k1252[c - 0x80] : c;  // the five unassigned map to C1 as Windows does
    return true;
}

bool WideToAnsi(char16_t w, char* out) {
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF)) {
        *out = static_cast<char>(w);
        return true;
    }
    for (int i = 0; i < 32; ++i)
        if (k1252[i] == w || (k1252[i] == 0 && w == 0x80 + i)) {
            *out = static_cast<char>(0x80 + i);
            return true;
        }
    return false;
}

// Decodes UTF-8; invalid sequences become U+FFFD and set *bad.
std::u16string FromUtf8(const unsigned char* s, size_t n, bool* bad) {
    std::u16string out;
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        uint32_t cp;
        size_t len;
        if (c < 0x80) cp = c, len = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, len = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, len = 3;
        else if ((c & 0xF8) == 0xF0) cp = c & 0x07, len = 4;
        else len = 0, cp = 0;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            *bad = true;
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string ToUtf8(const char16_t* s, size_t n, bool* bad) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            *bad = true;
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool KnownCodePage(UINT cp) { return cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_UTF8 || cp == 1252; }

}  // namespace

std::string Narrow(const WCHAR* s) {
    size_t n = 0;
    while (s && s[n]) ++n;
    bool bad = false;
    return ToUtf8(reinterpret_cast<const char16_t*>(s), n, &bad);
}

std::u16string Widen(const char* s) {
    bool bad = false;
    return FromUtf8(reinterpret_cast<const unsigned char*>(s ? s : ""), s ? strlen(s) : 0, &bad);
}

}  // namespace emu::win32

using namespace emu::win32;

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
        (lpWideCharStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!KnownCodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_ERR_INVALID_CHARS | MB_PRECOMPOSED;
    if (dwFlags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = cbMultiByte < 0 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    std::u16string wide;
    bool bad = false;
    if (CodePage == CP_UTF8) {
        wide = FromUtf8(in, n, &bad);
    } else {
        for (size_t i = 0; i < n; ++i) {
            char16_t w;
            AnsiToWide(in[i], &w);
            wide += w;
        }
    }
    if (bad && (dwFlags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) ||
        (lpMultiByteStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!KnownCodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {  // documented: must be null for UTF-8
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = CodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    if (dwFlags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = 0;
    if (cchWideChar < 0) {
        while (lpWideCharStr[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cchWideChar);
    }
    const auto* in = reinterpret_cast<const char16_t*>(lpWideCharStr);
    std::string out;
    bool bad = false, usedDefault = false;
    if (CodePage == CP_UTF8) {
        out = ToUtf8(in, n, &bad);
        if (bad && (dwFlags & WC_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        for (size_t i = 0; i < n; ++i) {
            char c;
            if (!WideToAnsi(in[i], &c)) {
                c = fallback;
                usedDefault = true;
            }
            out += c;
        }
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault;
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {  // movable memory is not offered
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}

// ---- FormatMessage ------------------------------------------------------------------------------

namespace {

struct Message {
    DWORD id;
    const char* text;
};
// The system's English texts of the errors this API reports.
const Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BAD_ARGUMENTS, "One or more arguments are not correct."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an "
                              "application request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_POSSIBLE_DEADLOCK, "A potential deadlock condition has been detected."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_DEVICE_REMOVED, "The device has been removed."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
};

// Expands %1..%99 (with an optional !printf-format!), %0, %%, %n, %r, %t, %. and %! as FormatMessage
// does; inserts are strings unless the format says otherwise. Returns false on a bad insert.
bool Expand(const std::u16string& text, bool ignoreInserts, bool arrayArgs, va_list* args, bool wide,
            std::u16string* out) {
    std::vector<ULONG_PTR> taken;  // va_list arguments read so far, in insert order
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c != u'%') {
            *out += c;
            continue;
        }
        if (++i >= text.size()) break;
        c = text[i];
        if (ignoreInserts && c >= u'1' && c <= u'9') {
            *out += u'%';
            *out += c;
            continue;
        }
        if (c == u'0') return true;
        if (c == u'n') *out += u"\r\n";
        else if (c == u'r') *out += u'\r';
        else if (c == u't') *out += u'\t';
        else if (c == u'b') *out += u' ';
        else if (c >= u'1' && c <= u'9') {
            unsigned n = c - u'0';
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') n = n * 10 + (text[++i] - u'0');
            std::string fmt = "s";
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                size_t end = text.find(u'!', i + 2);
                if (end == std::u16string::npos) return false;
                fmt.clear();
                for (size_t k = i + 2; k < end; ++k) fmt += static_cast<char>(text[k]);
                i = end;
            }
            if (!args) return false;
            ULONG_PTR value;
            if (arrayArgs) {
                value = reinterpret_cast<const ULONG_PTR*>(args)[n - 1];
            } else {
                while (taken.size() < n) taken.push_back(va_arg(*args, ULONG_PTR));
                value = taken[n - 1];
            }
            char conv = fmt.empty() ? 's' : fmt.back();
            if (conv == 's' || conv == 'S') {
                bool wideArg = wide ? conv == 's' : conv == 'S';
                if (wideArg) {
                    for (auto* p = reinterpret_cast<const char16_t*>(value); p && *p; ++p) *out += *p;
                } else {
                    for (auto* p = reinterpret_cast<const char*>(value); p && *p; ++p)
                        *out += static_cast<char16_t>(static_cast<unsigned char>(*p));
                }
            } else {
                char buf[64];
                std::string f = "%" + fmt;
                if (f.find_first_of("lI") == std::string::npos && (conv == 'd' || conv == 'u' || conv == 'x' ||
                                                                   conv == 'X' || conv == 'o' || conv == 'i'))
                    snprintf(buf, sizeof buf, f.c_str(), static_cast<unsigned>(value));
                else
                    snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
                for (char* p = buf; *p; ++p) *out += static_cast<char16_t>(*p);
            }
        } else {
            *out += c;  // %% %. %! and the rest stand for the character
        }
    }
    return true;
}

DWORD Format(DWORD flags, LPCVOID source, DWORD id, bool wide, void* buffer, DWORD size, va_list* args) {
    std::u16string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (wide)
            for (auto* p = static_cast<const char16_t*>(source); *p; ++p) text += *p;
        else
            for (auto* p = static_cast<const char*>(source); *p; ++p) text += static_cast<unsigned char>(*p);
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* found = nullptr;
        for (const Message& m : kMessages)
            if (m.id == id) found = m.text;
        if (!found) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        for (const char* p = found; *p; ++p) text += static_cast<unsigned char>(*p);
        text += u"\r\n";
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);  // message tables of modules are not offered
        return 0;
    }
    std::u16string out;
    if (!Expand(text, flags & FORMAT_MESSAGE_IGNORE_INSERTS, flags & FORMAT_MESSAGE_ARGUMENT_ARRAY, args, wide, &out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string narrow;
    if (!wide)
        for (char16_t c : out) {
            char a;
            narrow += WideToAnsi(c, &a) ? a : '?';
        }
    size_t chars = wide ? out.size() : narrow.size();
    size_t unit = wide ? sizeof(WCHAR) : 1;
    const void* data = wide ? static_cast<const void*>(out.data()) : narrow.data();
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (!buffer) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t room = std::max<size_t>(chars + 1, size);
        auto* p = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, room * unit));
        if (!p) return 0;
        memcpy(p, data, chars * unit);
        *static_cast<void**>(buffer) = p;
        return static_cast<DWORD>(chars);
    }
    if (!buffer || size < chars + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, data, chars * unit);
    memset(static_cast<char*>(buffer) + chars * unit, 0, unit);
    return static_cast<DWORD>(chars);
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
    return Format(dwFlags, lpSource, dwMessageId, true, lpBuffer, nSize, Arguments);
}

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
    return Format(dwFlags, lpSource, dwMessageId, false, lpBuffer, nSize, Arguments);
}

// ---- modules ----------------------------------------------------------------------------------

namespace {

struct Export {
    const char* name;
    FARPROC proc;
};

template <typename F>
FARPROC Proc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

struct Module {
    const char* name;
    std::vector<Export> exports;
};

// What programs look up at run time rather than link: the native I/O calls, and kernel32
// functions newer than the oldest Windows a portable library supports.
const std::vector<Module>& Modules() {
    static const std::vector<Module>* modules = new std::vector<Module>{
        {"ntdll.dll",
         {{"NtReadFile", Proc(NtReadFile)},
          {"NtWriteFile", Proc(NtWriteFile)},
          {"NtDeviceIoControlFile", Proc(NtDeviceIoControlFile)},
          {"RtlNtStatusToDosError", Proc(RtlNtStatusToDosError)}}},
        {"kernel32.dll",
         {{"CancelIoEx", Proc(CancelIoEx)},
          {"CancelIo", Proc(CancelIo)},
          {"GetTickCount64", Proc(GetTickCount64)},
          {"GetOverlappedResult", Proc(GetOverlappedResult)},
          {"GetDefaultCommConfigW", Proc(GetDefaultCommConfigW)},
          {"GetDefaultCommConfigA", Proc(GetDefaultCommConfigA)},
          {"QueryDosDeviceW", Proc(QueryDosDeviceW)},
          {"QueryDosDeviceA", Proc(QueryDosDeviceA)}}},
        {"emu.exe", {}},  // the program itself
    };
    return *modules;
}

bool SameModule(const std::string& asked, const char* name) {
    std::string a;
    for (char c : asked) a += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::string n = name;
    return a == n || a + ".dll" == n;
}

HMODULE ModuleHandle(size_t index) { return reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7ff00000 + index * 0x10000)); }

}  // namespace

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    const auto& modules = Modules();
    if (!lpModuleName) return ModuleHandle(modules.size() - 1);
    for (size_t i = 0; i < modules.size(); ++i)
        if (SameModule(lpModuleName, modules[i].name)) return ModuleHandle(i);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) return GetModuleHandleA(nullptr);
    return GetModuleHandleA(Narrow(lpModuleName).c_str());
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    const auto& modules = Modules();
    for (size_t i = 0; i < modules.size(); ++i) {
        if (ModuleHandle(i) != hModule) continue;
        // A name whose high bits are zero is an ordinal; ordinals are not offered.
        if (lpProcName && reinterpret_cast<ULONG_PTR>(lpProcName) > 0xFFFF)
            for (const Export& e : modules[i].exports)
                if (strcmp(e.name, lpProcName) == 0) return e.proc;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
