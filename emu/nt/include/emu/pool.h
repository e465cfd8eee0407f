// Pool of the emulated kernel: accounting per tag and per driver, leak reports, fault injection.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "../nt/types.h"

namespace emu::pool {

// A tag as Windows writes it in source ('filt') and as it reads in a dump ("filt").
std::string TagName(ULONG tag);

struct Usage {
    uint64_t allocations = 0;  // live allocations
    uint64_t bytes = 0;        // live bytes
};

// Live allocations per tag, of one driver (or of all with nullptr).
std::map<ULONG, Usage> Outstanding(PVOID driver = nullptr);
// Allocations made per tag since the last Reset (live or not): how many sites a scenario reaches.
std::map<ULONG, uint64_t> AllocationCounts();

// Raises one PoolLeak fault per tag still allocated by the driver, naming `when`.
// Returns true when nothing was left.
// At the end of each test, blocks allocated inside a driver context that are still alive and
// were not already named by CheckNoLeaks (the unload check) are reported, once, per tag.
// Allocations made by test code outside any driver context are never reported.
bool CheckNoLeaks(PVOID driver, const std::string& when);

// An allocation above 1 GiB fails, as it would from the pools of a real machine.
// Fault injection. The n-th allocation from now on fails (1 = the next one); with a tag, the
// n-th allocation with that tag; FailTag makes every allocation with the tag fail.
void FailNth(uint64_t n);
void FailNthWithTag(ULONG tag, uint64_t n);
void FailTag(ULONG tag);
void ClearFaults();

// Forgets counts and fault injection (test start). Live allocations stay accounted.
void Reset();

// Special pool (on unless a program turns it off, e.g. a benchmark): each allocation ends at the
// end of its own pages with an inaccessible page after it, and freed blocks stay inaccessible
// while they are among the most recent frees. An access past the end or after the free stops the
// process at that instruction with the block's tag, size and the call stack that freed it; a
// write into the slack before the guard page is reported when the block is freed. Under
// AddressSanitizer the pool is ASan's heap instead, whose redzones and quarantine do the same.
void SetSpecialPool(bool on);
bool SpecialPoolOn();

}  // namespace emu::pool
