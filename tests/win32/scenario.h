// The end-to-end scenarios: a serial-port user's checks of a port with a loopback plug (TX to
// RX, RTS to CTS, DTR to DSR and DCD), written only against the Win32 API. The same sources build
// for the emulation and, with mingw-w64, for Windows against a real port; only the fixture
// functions below differ (scenario_fixture_emu.cpp, windows/fixture_windows.cpp).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace scenario {

enum class TxMode { Sync, Async };

// ---- provided by the build's fixture ----
// Makes the port ready with its loopback plug in the transmit mode asked for; false (with the
// reason) when this build cannot offer it, and the scenario is skipped.
bool StartPort(TxMode mode, std::string* why);
void StopPort();
const WCHAR* PortPath();    // for CreateFile: "\\\\.\\COM7"
const WCHAR* PortName();    // as the device map names it: "COM7"
// Pulls the device out under the open port (surprise removal); false where it cannot be done.
bool SurpriseRemove();
// How far a measured time may be off: 0 on the emulation's virtual clock.
DWORD TimingSlack();

// ---- shared helpers ----
using Bytes = std::vector<uint8_t>;
Bytes Pattern(size_t n, uint8_t seed = 0);
// Polls `ready` every millisecond for up to `ms`.
bool WaitFor(const std::function<bool()>& ready, DWORD ms);
// Reads until `n` bytes came or `ms` passed (each ReadFile returning what the timeouts give).
Bytes ReadAtLeast(HANDLE port, size_t n, DWORD ms);
DWORD InQueue(HANDLE port);
// The port's DCB, zeroed first and checked to be read.
DCB CommState(HANDLE port);
// A write or read on an overlapped handle, waited for: the bytes it moved (a failure is reported).
DWORD WriteWait(HANDLE port, const void* data, DWORD length);
DWORD ReadWait(HANDLE port, void* buffer, DWORD length);
// Milliseconds since an earlier GetTickCount64.
inline DWORD Since(ULONGLONG start) { return static_cast<DWORD>(GetTickCount64() - start); }
// An OVERLAPPED with its own manual-reset event; the event is closed with it.
struct Overlapped : OVERLAPPED {
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Done() { return HasOverlappedIoCompleted(this); }
};

class PortTest : public ::testing::Test {
public:
    const std::vector<HANDLE>& Handles() const { return open_; }

protected:
    void SetUp() override { Start(TxMode::Sync); }
    void TearDown() override;
    void Start(TxMode mode);
    // Opens the port; the fixture closes what is still open at the end.
    HANDLE Open(DWORD flags = 0);
    void Close(HANDLE h);
    // Applies a DCB for 8N1 at the given rate with no flow control, DTR and RTS on.
    void Configure(HANDLE h, DWORD baud = CBR_115200);
    void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0);
    // Open, Configure and the read timeouts given.
    HANDLE OpenReady(DWORD flags, DWORD interval, DWORD multiplier, DWORD constant);

    std::vector<HANDLE> open_;
    bool started_ = false;
};

// Scenarios run in both transmit modes.
class PortBothModes : public PortTest, public ::testing::WithParamInterface<TxMode> {
protected:
    void SetUp() override { Start(GetParam()); }
};

std::string ModeName(const ::testing::TestParamInfo<TxMode>& info);
inline void PrintTo(TxMode m, std::ostream* os) { *os << (m == TxMode::Sync ? "sync transmit" : "async transmit"); }

}  // namespace scenario
