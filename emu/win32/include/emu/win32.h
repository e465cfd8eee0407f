// The emulation's controls of the Win32 layer (not part of the Windows API), and the pure
// mappings the layer is built from, exposed for its unit tests.
#pragma once

#include <cstddef>

#include "ntddser.h"
#include "windows.h"

namespace emu::win32 {

// Blocking calls made on this thread (waits, Sleep, synchronous I/O, open and close) move the
// virtual clock timer by timer until they can return, as time passes for a Windows program
// blocked in them. Calls on other threads wait as emulated threads do. One thread at a time; the
// test support runs each test with none.
void DriveClockFromThisThread();
void StopDrivingClock();

// Handles of every kind still open (the end-of-test check closes them and reports a fault).
size_t OpenHandleCount();

// The Win32 error Windows reports for an NTSTATUS (RtlNtStatusToDosError), for the statuses a
// serial port produces; ERROR_MR_MID_NOT_FOUND for the rest, as Windows answers.
DWORD NtStatusToWin32Error(NTSTATUS status);

// The four records a DCB stands for, as SetCommState sends them and GetCommState reads them.
struct SerialSettings {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL lineControl;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handFlow;
};
// `current` supplies what a DCB does not carry (BreakChar).
SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current);
DCB DcbFromSettings(const SerialSettings& s);

// COMSTAT and CE_* errors from the driver's SERIAL_STATUS.
void ComStatFromStatus(const SERIAL_STATUS& status, DWORD* errors, COMSTAT* stat);

}  // namespace emu::win32
