// The platform headers of the driver. This is the only driver file that knows which build it is
// in: the kernel build (mingw-w64 DDK headers) defines VCOM_KERNEL_BUILD; the host build finds
// headers of the same names in the emulated kernel.
#pragma once

#if defined(VCOM_KERNEL_BUILD)
// In C++ the DDK's wdm.h and intrin.h both define these two intrinsics.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>
#include <initguid.h>
#include <ntddser.h>

#if defined(VCOM_KERNEL_BUILD)
// Newer DDKs have these accessors; the mingw-w64 wdm.h does not. Plain aligned byte accesses on x64.
inline BOOLEAN ReadBooleanNoFence(BOOLEAN const volatile* Source) { return *Source; }
inline VOID WriteBooleanNoFence(BOOLEAN volatile* Destination, BOOLEAN Value) { *Destination = Value; }
// Aligned 64-bit accesses are single accesses on x64.
inline ULONG64 ReadULong64NoFence(ULONG64 const volatile* Source) { return *Source; }
inline VOID WriteULong64NoFence(ULONG64 volatile* Destination, ULONG64 Value) { *Destination = Value; }
#include <stdarg.h>
// Exported by ntoskrnl.exe, not declared by the DDK headers.
extern "C" int __cdecl _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, va_list ArgList);
#endif
