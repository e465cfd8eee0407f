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
#define _IRQL_requires_same_
// Locks a routine expects held (mingw-w64 has these in concurrencysal.h).
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)

extern "C" void EmuCheckPagedCode(const char* Routine);
#define PAGED_CODE() EmuCheckPagedCode(__func__)
