// Emulated Windows kernel: <initguid.h>. DEFINE_GUID here always defines (weakly), so this
// header only marks the intent, as the kernel build needs it.
#pragma once
#define INITGUID
