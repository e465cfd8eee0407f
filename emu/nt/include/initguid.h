// Emulated Windows kernel: <initguid.h>. After it, DEFINE_GUID defines the GUID (weakly, so
// several files may do it); without it DEFINE_GUID only declares, as with mingw-w64.
#pragma once
#include "nt/types.h"
#ifndef INITGUID
#define INITGUID
#endif
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
