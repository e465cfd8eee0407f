// <tchar.h>: the generic-text names, wide under _UNICODE. The wide string helpers are our own:
// WCHAR is 16-bit here, which the C library's wide functions do not know.
#pragma once
#include "winnt.h"

#ifdef _UNICODE
typedef WCHAR _TCHAR;
#define __T(x) L##x
static inline size_t emu_tcslen(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}
static inline int emu_tcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) ++a, ++b;
    return (int)*a - (int)*b;
}
static inline WCHAR* emu_tcscpy(WCHAR* d, const WCHAR* s) {
    WCHAR* r = d;
    while ((*d++ = *s++) != 0) {
    }
    return r;
}
#define _tcslen emu_tcslen
#define _tcscmp emu_tcscmp
#define _tcscpy emu_tcscpy
#else
typedef char _TCHAR;
#define __T(x) x
#define _tcslen strlen
#define _tcscmp strcmp
#define _tcscpy strcpy
#endif
#define _T(x) __T(x)
#define _TEXT(x) __T(x)
