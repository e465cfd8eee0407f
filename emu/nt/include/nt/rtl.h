// Emulated Windows kernel: pool, memory, counted strings, wide formatting, debug output.
#pragma once
#include "types.h"

#include <string.h>

extern "C" {

// ---- pool -----------------------------------------------------------------------------------
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);

// ---- counted strings ------------------------------------------------------------------------
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// ---- wide formatting (Microsoft C runtime semantics, Windows widths: %lu is 32-bit) ----------
int _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, va_list ArgList);
int _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, ...);

// ---- debug output ---------------------------------------------------------------------------
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

}  // extern "C"

#define DPFLTR_IHVDRIVER_ID  77
#define DPFLTR_ERROR_LEVEL   0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL   2
#define DPFLTR_INFO_LEVEL    3
#define DPFLTR_MASK          0x80000000

// ---- memory ---------------------------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
inline SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    SIZE_T i = 0;
    while (i < Length && static_cast<const UCHAR*>(Source1)[i] == static_cast<const UCHAR*>(Source2)[i]) ++i;
    return i;
}

#define RTL_CONSTANT_STRING(s) { sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWSTR>(s) }

// ---- registry -------------------------------------------------------------------------------
extern "C" {
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
NTSTATUS ZwClose(HANDLE Handle);
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
}
