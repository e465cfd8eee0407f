// Emulated Windows kernel: the DDK surface that a WDM driver sees (host build).
#pragma once
#include "nt/types.h"
#include "nt/ke.h"   // IRQL, spin locks, interlocked, lists, events, timers, DPCs, waits, time
#include "nt/rtl.h"  // pool, strings, memory, formatting, registry
#include "nt/io.h"
#include "nt/sal.h"  // IRQL annotations, PAGED_CODE()   // IRPs, stack locations, device/driver/file objects, MDLs, names, queues, remove locks, power
