// The kernel's IRQL annotations (checked by static analysis on Windows, nothing here) and
// PAGED_CODE(), which in the host build reports a verifier fault naming the routine that runs
// above APC_LEVEL.
#pragma once
#include "types.h"

#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_always_function_max_(irql)

extern "C" void EmuCheckPagedCode(const char* Routine);
#define PAGED_CODE() EmuCheckPagedCode(__func__)
