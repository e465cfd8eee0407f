// The simulated UsbPipeDriver (a WDM driver of the emulation) and the device model behind it:
// the far end of the serial line, driven by tests, benchmarks and vcomctl through plain C++.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nt/types.h>

namespace usbpipe {

// Private request codes of the lower-driver contract (all METHOD_BUFFERED).
constexpr ULONG IOCTL_PIPE_RESET = 0x222008;
constexpr ULONG IOCTL_DEVICE_COMMAND = 0x22201c;
constexpr ULONG IOCTL_PIPE_ABORT = 0x222020;
constexpr ULONG IOCTL_PIPE_GET_INFO = 0x222028;
constexpr ULONG IOCTL_PIPE_WRITE = 0x222040;

enum Pipe : int { kTx = 0, kRx = 1, kStatus = 2, kPipeCount = 3 };

// Status byte bits reported on the status pipe.
constexpr uint8_t kStatusCts = 0x01, kStatusDsr = 0x02, kStatusDcd = 0x04, kStatusRi = 0x08;
// Control-line bits of the control-lines command.
constexpr uint8_t kLineRts = 0x01, kLineDtr = 0x02, kLineBreak = 0x04;

struct Config {
    bool hasPipe[kPipeCount] = {true, true, true};
    ULONG packetSize[kPipeCount] = {64, 64, 1};  // 512 for a high-speed device
    int variant = 0;                             // 0..3: how line settings are encoded
    // Where requests complete. By default in the caller's thread, inside its IoCallDriver, when
    // nothing delays, holds, paces or draws the completion (a knob); on the device thread at
    // DISPATCH_LEVEL otherwise. completeInline: always in the caller (delays and holds aside);
    // completeOnWorker: always on the device thread unless a knob draws otherwise.
    bool completeInline = false;
    bool completeOnWorker = false;
    bool recordTx = false;                       // keep TxStream and TransferLog (see RecordTx)
    // With the loopback plug in, what the device holds of looped bytes not yet read: a write
    // that finds it full waits (cancellable) until reads make room, as a device refuses OUT
    // packets it cannot buffer. 0: no bound. Unpaced writes only (paced ones wait for the line).
    size_t loopbackRoom = 64 * 1024;
    bool pacing = false;                         // bytes take their time on the line
    bool statusOnChange = false;                 // status reads wait for a change of the byte
};

// How unkind the device and its lower driver are, each behaviour off by default. A `...OneIn`
// field n makes one request in n behave so (0: none, 1: every one), drawn from `seed`.
struct Knobs {
    uint64_t seed = 1;
    unsigned inlineOneIn = 0;       // completed in the caller's thread, inside its IoCallDriver
    unsigned passiveOneIn = 0;      // completed by the device thread at PASSIVE_LEVEL, not DISPATCH_LEVEL
    unsigned partialFailOneIn = 0;  // a read or (unpaced) write fails after moving part of its bytes
    NTSTATUS faultStatus = STATUS_UNSUCCESSFUL;  // of partial failures and failed status reads
    bool replyToCommands = false;   // accepted commands are answered over their buffer, as applied
    bool noHardwareFlow = false;    // RTS/CTS flow control is not applied (and the reply says so)
    bool loopbackRing = false;      // the loopback plug also wires DTR to RI
    unsigned statusOutageMs = 0;    // status reads fail for this long, from the first one on, then recover
    uint64_t unplugAfterBytes = 0;  // unplugged amid the transfer that would move byte n (0: never)

    // A random mix for a seed. Without `failures`, only knobs that end no transfer with an error
    // (a status read aside): partial failures and an unplug come with it.
    static Knobs Draw(uint64_t seed, bool failures = false);
    std::string Describe() const;  // "inline=1/2 replies ..." or "none"
};

enum class Parity { None, Even, Odd };

// What the device commands set, decoded for the device's variant.
struct LineState {
    bool portEnabled = false;
    uint8_t controlLines = 0;  // kLineRts | kLineDtr | kLineBreak
    bool settingsReceived = false;
    ULONG baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    Parity parity = Parity::None;
    bool rtsCts = false;
    bool xonXoff = false;
    uint8_t xonChar = 0, xoffChar = 0;
    bool errorCharEnabled = false;
    uint8_t errorChar = 0;
};

// The kinds of request the driver above sends, for FailNthRequest.
enum class RequestKind : int { Create, Close, Reset, Abort, Query, Command, Read, Write, Count };
constexpr int kRequestKindCount = static_cast<int>(RequestKind::Count);
const char* RequestKindName(RequestKind kind);  // "create", "close", ... "write"

struct Transfer {
    Pipe pipe;
    std::vector<uint8_t> bytes;  // empty for a zero-length transfer
};

class Model;

// Handle on one simulated device. Thread-safe.
class Device {
public:
    // Creates a device model; the next AddDevice of the driver (UsbPipeDriverEntry) takes it.
    static std::shared_ptr<Device> Create(const Config& config = {});
    // The model behind a device object created by this driver (null if none).
    static std::shared_ptr<Device> ForDeviceObject(PDEVICE_OBJECT device);
    ~Device();

    const Config& GetConfig() const;
    PDEVICE_OBJECT DeviceObject() const;  // null until AddDevice

    // ---- received data (device to host) ----
    void Inject(const std::vector<uint8_t>& bytes);
    // Counting pattern 0, 1, ..., 255, 0, ... at bytesPerSecond on the emulation's clock.
    void StartCounting(ULONG bytesPerSecond);
    void StopCounting();
    uint64_t CountingBytesGenerated() const;
    size_t RxBacklog() const;  // bytes waiting for a read
    bool RxLineBusy() const;   // paced bytes still on their way to the receive side

    // ---- sent data (host to device) ----
    // Transmitted bytes are kept only when asked for (Config::recordTx, or RecordTx before the
    // writes); TxStream and TransferLog throw std::logic_error otherwise.
    void RecordTx(bool on);
    std::vector<uint8_t> TxStream() const;
    std::vector<Transfer> TransferLog() const;  // every transfer on the transmit pipe, in order
    void ClearTx();
    uint64_t TxBytes() const;  // bytes transmitted so far, recorded or not

    // ---- device commands ----
    std::vector<std::vector<uint8_t>> Commands() const;
    void ClearCommands();
    LineState State() const;
    void FailCommand(uint8_t code, NTSTATUS status);  // every later command with this code fails

    // ---- line status and the loopback plug ----
    void SetStatusByte(uint8_t status);
    uint8_t StatusByte() const;  // as reported, loopback wiring applied
    void SetLoopback(bool on);   // TX to RX, RTS to CTS, DTR to DSR and DCD
    void SetLoopbackRing(bool on);  // the plug's DTR-to-RI switch (also Knobs::loopbackRing)
    void SetPacing(bool on);

    // ---- knobs ----
    void SetKnobs(const Knobs& knobs);  // reseeds the draws; an outage and an unplug count from now
    Knobs GetKnobs() const;
    uint64_t StatusReadsFailed() const;  // by the status outage
    uint64_t PartialFailures() const;    // transfers failed after moving part of their bytes

    // ---- faults ----
    // Fails the next `count` transfers of the pipe (-1: every one) with `status`.
    void FailTransfers(Pipe pipe, int count, NTSTATUS status);
    void SetCompletionDelay(LONGLONG delay100ns);
    // While holding, finished transfers wait for ReleaseHeld (in order).
    void HoldCompletions(bool hold);
    void ReleaseHeld();
    // While stalled, transmit transfers wait in the device unsent (cancellable, aborted by
    // IOCTL_PIPE_ABORT); ending the stall sends and completes them in order.
    void StallTx(bool stall);
    void SendStalled(size_t count);  // sends the oldest stalled transfers and stays stalled
    size_t HeldCount() const;
    void SetStatusPipeInvalid(bool invalid);  // creates of the status pipe fail with STATUS_INVALID_HANDLE
    void FailOpen(Pipe pipe, NTSTATUS status);  // creates of the pipe fail (STATUS_SUCCESS: no longer)
    // The line loses one byte: the index-th (0 = the next) of the bytes arriving from now on,
    // injected or looped back. For checks that must notice a loss.
    void DropArrivingByte(uint64_t index);
    // Fails the n-th request of the kind from now on (1 = the next), once, with `status`
    // (n = 0 disarms). The failed request has no other effect: no pipe opened, no command
    // recorded, no byte moved; reads and writes complete from the device thread as transfers
    // do. A close is the exception: the pipe is released all the same, as a close cannot keep
    // a file open, and only its status is the injected one.
    void FailNthRequest(RequestKind kind, uint64_t n, NTSTATUS status);
    bool NthRequestFailed(RequestKind kind) const;  // the armed failure has been injected
    uint64_t RequestCount(RequestKind kind) const;  // requests of the kind received so far
    void Unplug();                            // outstanding and new requests fail STATUS_DEVICE_NOT_CONNECTED
    bool Unplugged() const;

    // ---- observation ----
    size_t Pending(Pipe pipe) const;  // transfers waiting in the device
    int OpenCount(Pipe pipe) const;
    int ResetCount(Pipe pipe) const;
    void Drain();  // waits until the device thread has run everything posted so far
    // The deepest reads and controls ever nested in one thread: a request sent from the inline
    // completion of another counts one level deeper (1: no nesting).
    int MaxNesting() const;

    std::shared_ptr<Model> model_;

private:
    Device() = default;
};

}  // namespace usbpipe

extern "C" NTSTATUS UsbPipeDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
