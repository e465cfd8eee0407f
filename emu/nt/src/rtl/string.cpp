// Counted strings, wide formatting with the Microsoft runtime's semantics, and debug output.
#include <cstdio>
#include <mutex>
#include <string>

#include "emu/debug.h"
#include "nt/rtl.h"

namespace {

size_t WideLength(const wchar_t* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

wchar_t Upcase(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

// The output of one formatting run, narrow or wide, with Windows' meaning of the directives:
// %ld/%lu/%lx are 32-bit, %I64/%ll 64-bit, %I and %z pointer-sized; in wide formats %s and %ws
// are wide strings and %S/%hs narrow; in narrow formats %s is narrow and %S/%ws wide; %wZ is a
// PUNICODE_STRING.
template <class Char>
std::u16string Format(const Char* fmt, va_list ap) {
    std::u16string out;
    auto putNarrow = [&](const char* s, size_t n) { for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(static_cast<unsigned char>(s[i])); };
    for (const Char* p = fmt; *p; ++p) {
        if (*p != '%') {
            out += static_cast<char16_t>(*p);
            continue;
        }
        ++p;
        if (*p == '%') {
            out += u'%';
            continue;
        }
        std::string flags;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') flags += static_cast<char>(*p++);
        int width = -1, precision = -1;
        if (*p == '*') { width = va_arg(ap, int); ++p; }
        else if (*p >= '0' && *p <= '9') { width = 0; while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0'); }
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') { precision = va_arg(ap, int); ++p; }
            else while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
        }
        enum { Int, Long64, Short, Char8 } size = Int;
        bool wideArg = sizeof(Char) == 2, narrowArg = sizeof(Char) == 1, unicodeString = false;
        if (*p == 'l') { ++p; if (*p == 'l') { size = Long64; ++p; } }
        else if (*p == 'h') { ++p; if (*p == 'h') { size = Char8; ++p; } else size = Short; narrowArg = true; wideArg = false; }
        else if (*p == 'I') { ++p; if (p[0] == '6' && p[1] == '4') { p += 2; } else if (p[0] == '3' && p[1] == '2') { p += 2; size = Int; goto conv; } size = Long64; }
        else if (*p == 'z' || *p == 'j' || *p == 't') { ++p; size = Long64; }
        else if (*p == 'w') { ++p; wideArg = true; narrowArg = false; if (*p == 'Z') unicodeString = true; }
    conv:
        char conv = static_cast<char>(*p);
        if (conv == 0) break;
        std::string fmtConv = "%" + flags;
        if (width >= 0) fmtConv += std::to_string(width);
        if (precision >= 0) fmtConv += "." + std::to_string(precision);
        char buf[128];
        int n = 0;
        switch (conv) {
            case 'd': case 'i': {
                long long v = size == Long64 ? va_arg(ap, long long) : static_cast<long long>(va_arg(ap, int));
                if (size == Short) v = static_cast<short>(v);
                if (size == Char8) v = static_cast<signed char>(v);
                n = snprintf(buf, sizeof buf, (fmtConv + "lld").c_str(), v);
                putNarrow(buf, static_cast<size_t>(n));
                break;
            }
            case 'u': case 'x': case 'X': case 'o': {
                unsigned long long v = size == Long64 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned int);
                if (size == Short) v = static_cast<unsigned short>(v);
                if (size == Char8) v = static_cast<unsigned char>(v);
                n = snprintf(buf, sizeof buf, (fmtConv + "ll" + conv).c_str(), v);
                putNarrow(buf, static_cast<size_t>(n));
                break;
            }
            case 'p': {
                n = snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
                putNarrow(buf, static_cast<size_t>(n));
                break;
            }
            case 'c': case 'C': {
                int c = va_arg(ap, int);
                out += static_cast<char16_t>((conv == 'C') == (sizeof(Char) == 2) ? static_cast<unsigned char>(c) : c & 0xffff);
                break;
            }
            case 'Z':
            case 's': case 'S': {
                bool wide = unicodeString || conv == 'Z' || (conv == 's' ? (wideArg && !narrowArg) || (sizeof(Char) == 2 && !narrowArg)
                                                                           : !(sizeof(Char) == 2));
                if (conv == 'S' && sizeof(Char) == 1) wide = true;
                if (conv == 'S' && sizeof(Char) == 2) wide = false;
                if (conv == 's' && sizeof(Char) == 1 && !wideArg) wide = false;
                std::u16string text;
                if (unicodeString || conv == 'Z') {
                    auto* us = va_arg(ap, PCUNICODE_STRING);
                    if (us && us->Buffer) for (USHORT i = 0; i < us->Length / 2; ++i) text += static_cast<char16_t>(us->Buffer[i]);
                } else if (wide) {
                    auto* s = va_arg(ap, const wchar_t*);
                    if (!s) s = L"(null)";
                    for (size_t i = 0; s[i] && (precision < 0 || static_cast<int>(i) < precision); ++i) text += static_cast<char16_t>(s[i]);
                } else {
                    auto* s = va_arg(ap, const char*);
                    if (!s) s = "(null)";
                    for (size_t i = 0; s[i] && (precision < 0 || static_cast<int>(i) < precision); ++i) text += static_cast<char16_t>(static_cast<unsigned char>(s[i]));
                }
                bool left = flags.find('-') != std::string::npos;
                size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
                if (!left) out.append(pad, u' ');
                out += text;
                if (left) out.append(pad, u' ');
                break;
            }
            default:
                out += u'%';
                out += static_cast<char16_t>(conv);
        }
    }
    return out;
}

std::mutex gSinkLock;
emu::debug::Sink gSink;

ULONG Emit(ULONG component, ULONG level, PCSTR format, va_list ap) {
    std::u16string text = Format(format, ap);
    std::string narrow;
    for (char16_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    std::lock_guard<std::mutex> g(gSinkLock);
    if (gSink) gSink(component, level, narrow);
    return STATUS_SUCCESS;
}

}  // namespace

void emu::debug::SetSink(Sink sink) {
    std::lock_guard<std::mutex> g(gSinkLock);
    gSink = std::move(sink);
}

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xfffc) bytes = 0xfffc;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    USHORT n = Source->Length;
    if (n == 0) return STATUS_SUCCESS;
    if (static_cast<ULONG>(Destination->Length) + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, n);
    Destination->Length = static_cast<USHORT>(Destination->Length + n);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    USHORT n1 = String1->Length / 2, n2 = String2->Length / 2;
    for (USHORT i = 0; i < n1 && i < n2; ++i) {
        wchar_t a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) { a = Upcase(a); b = Upcase(b); }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    size_t n = SourceString ? strlen(SourceString) : 0;
    if (n > 0xfffe) n = 0xfffe;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? n + 1 : 0);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    wchar_t digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if (n * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if (String->Length + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    size_t n = String->Length / sizeof(WCHAR), i = 0;
    const wchar_t* p = String->Buffer;
    while (i < n && (p[i] == L' ' || p[i] == L'\t')) ++i;
    bool negative = false;
    if (i < n && (p[i] == L'-' || p[i] == L'+')) negative = p[i++] == L'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && p[i] == L'0') {
            wchar_t x = p[i + 1];
            if (x == L'x' || x == L'X') Base = 16;
            else if (x == L'o' || x == L'O') Base = 8;
            else if (x == L'b' || x == L'B') Base = 2;
            if (Base != 10) i += 2;
        }
    }
    ULONG v = 0;
    for (; i < n; ++i) {
        wchar_t c = p[i];
        ULONG d;
        if (c >= L'0' && c <= L'9') d = c - L'0';
        else if (c >= L'a' && c <= L'f') d = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') d = c - L'A' + 10;
        else break;
        if (d >= Base) break;
        v = v * Base + d;  // wraps on overflow, as Windows does
    }
    *Value = negative ? 0u - v : v;
    return STATUS_SUCCESS;
}

// Returns the characters written, or -1 when the output did not fit; a NUL is added only
// when there is room for it, as the Microsoft runtime does.
int _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format_, va_list ArgList) {
    va_list ap;
    va_copy(ap, ArgList);
    std::u16string text = Format(Format_, ap);
    va_end(ap);
    size_t n = text.size() < Count ? text.size() : Count;
    for (size_t i = 0; i < n; ++i) Buffer[i] = static_cast<wchar_t>(text[i]);
    if (text.size() > Count) return -1;
    if (text.size() < Count) Buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}

int _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format_, ...) {
    va_list ap;
    va_start(ap, Format_);
    int n = _vsnwprintf(Buffer, Count, Format_, ap);
    va_end(ap);
    return n;
}

ULONG DbgPrint(PCSTR Format_, ...) {
    va_list ap;
    va_start(ap, Format_);
    ULONG r = Emit(0, DPFLTR_ERROR_LEVEL, Format_, ap);
    va_end(ap);
    return r;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format_, ...) {
    va_list ap;
    va_start(ap, Format_);
    ULONG r = Emit(ComponentId, Level, Format_, ap);
    va_end(ap);
    return r;
}

}  // extern "C"
