// The application side's base types: the kernel's (DWORD, HANDLE, WCHAR, GUID, NTSTATUS and the
// status codes are one type in both), the Win32 ones, TCHAR and DEFINE_GUID. Compiles as C and
// as C++; the other Win32 headers build on it.
#pragma once

#include <stddef.h>
#include <string.h>

// nt/types.h checks its sizes with the C++ spelling of static_assert, sometimes without a
// message; in C that is _Static_assert with one.
#ifndef __cplusplus
#pragma push_macro("static_assert")
#undef static_assert
#define EMU_STATIC_ASSERT_PICK(a, b, name, ...) name
#define EMU_STATIC_ASSERT_1(e) _Static_assert(e, #e)
#define EMU_STATIC_ASSERT_2(e, m) _Static_assert(e, m)
#define static_assert(...) \
    EMU_STATIC_ASSERT_PICK(__VA_ARGS__, EMU_STATIC_ASSERT_2, EMU_STATIC_ASSERT_1, unused)(__VA_ARGS__)
#include "nt/types.h"
#undef static_assert
#undef EMU_STATIC_ASSERT_PICK
#undef EMU_STATIC_ASSERT_1
#undef EMU_STATIC_ASSERT_2
#pragma pop_macro("static_assert")
#else
#include "nt/types.h"
#endif

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EMU_GUID_DEFINITION extern "C"
#define EMU_BEGIN_C extern "C" {
#define EMU_END_C }
#else
#define EXTERN_C extern
#define EMU_GUID_DEFINITION
#define EMU_BEGIN_C
#define EMU_END_C
#endif

#define WINAPI
#define APIENTRY
#define CALLBACK
#define WINBASEAPI
#define CONST const

typedef int BOOL, *PBOOL, *LPBOOL;
typedef int INT, *PINT, *LPINT;
typedef unsigned int UINT, *PUINT;
typedef unsigned char BYTE, *PBYTE, *LPBYTE;
typedef unsigned short WORD, *PWORD, *LPWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef ULONGLONG DWORDLONG, DWORD64;
typedef long long INT_PTR;
typedef unsigned long long UINT_PTR;
typedef LONG_PTR LPARAM, LRESULT;
typedef UINT_PTR WPARAM;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char *PSTR, *LPSTR;
typedef const char* LPCSTR;
typedef const char* LPCCH;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef LONG LSTATUS;
typedef ULONG REGSAM;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef void* HLOCAL;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void* HWND;
typedef INT_PTR(WINAPI* FARPROC)(void);

#ifdef UNICODE
typedef WCHAR TCHAR;
#define __TEXT(quote) L##quote
#else
typedef char TCHAR;
#define __TEXT(quote) quote
#endif
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;
#define TEXT(quote) __TEXT(quote)

#ifndef MAXDWORD
#define MAXDWORD 0xffffffffU
#endif

// DEFINE_GUID declares; after <initguid.h> (or with INITGUID) it defines, weakly.
#ifndef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EMU_GUID_DEFINITION __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
#endif
#ifndef __cplusplus
#define IsEqualGUID(rguid1, rguid2) (!memcmp((rguid1), (rguid2), sizeof(GUID)))
#endif
