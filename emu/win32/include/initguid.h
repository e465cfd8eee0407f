// <initguid.h> for applications (C or C++): after it, DEFINE_GUID defines the GUID, weakly so
// that several files may do it. The kernel side's initguid.h does the same for C++ only.
#pragma once
#include "winnt.h"
#ifndef INITGUID
#define INITGUID
#endif
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EMU_GUID_DEFINITION __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
