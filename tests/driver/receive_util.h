// Helpers of the receive-path tests: a port whose status poller stays quiet, and read timeouts set
// as the set-timeouts request stores them.
#pragma once

#include <cstdint>
#include <vector>

#include "stack.h"

namespace vcomtest {

inline StackOptions NoPolling(StackOptions o = {}) { return WithValue(std::move(o), u"CtlPollPeriod", MAXULONG); }

// The read timeouts and the mode derived from them, then the current read's total timer
// re-armed from them, as IOCTL_SERIAL_SET_TIMEOUTS does.
inline void SetReadTimeouts(PortExtension* p, ULONG interval, ULONG multiplier, ULONG constant) {
    LONG mode;
    if (interval == MAXULONG && multiplier == 0 && constant == 0) {
        mode = ReadModeImmediate;
    } else if (interval == MAXULONG && multiplier == MAXULONG && constant != 0 && constant != MAXULONG) {
        mode = ReadModeFirstByte;
    } else if (interval == 0 && multiplier == 0 && constant == 0) {
        mode = ReadModeNoTimeouts;
    } else {
        mode = ReadModeTotal;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    p->Timeouts.ReadIntervalTimeout = interval;
    p->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    p->Timeouts.ReadTotalTimeoutConstant = constant;
    p->ReadTimeoutMode = mode;
    StartReadTotalTimer(p->DeviceObject);
    IoReleaseCancelSpinLock(irql);
}

inline uint64_t Held(PortExtension* p) { return RingCount(&p->RxBuffer); }

}  // namespace vcomtest
