// Where DbgPrint and DbgPrintEx output goes in the emulation.
#pragma once

#include <functional>
#include <string_view>

#include "../nt/types.h"

namespace emu::debug {

using Sink = std::function<void(ULONG component, ULONG level, std::string_view text)>;
// Replaces the sink (default: output is discarded). Thread-safe; the sink may be called from any
// thread, at any IRQL.
void SetSink(Sink sink);

}  // namespace emu::debug
