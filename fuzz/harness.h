// Shared set-up of the fuzz targets: the verifier aborts on every fault (libFuzzer reports the
// input), each input starts on a fresh virtual clock and ends with the emulation's leak checks,
// and the stack is the simulated UsbPipeDriver below the real driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "usbpipe/usbpipe.h"

namespace vcomfuzz {

// Reads the fuzz input front to back; past its end every read yields zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool Empty() const { return n_ == 0; }
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    bool Bit() { return (U8() & 1) != 0; }
    std::vector<uint8_t> Bytes(size_t count);  // up to count, fewer at the end of the input

private:
    const uint8_t* p_;
    size_t n_;
};

// Prints the message and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& message);

// One input's life: resets the verifier and the clock; at the end lets everything settle and
// runs the end-of-input checks (pending requests, leaked IRPs, pool, registry handles).
class Round {
public:
    Round();
    ~Round();
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;
};

// Both drivers loaded, the device node created with the given hardware key; the port is not
// started or opened here.
class Stack {
public:
    Stack(const usbpipe::Config& config, const std::map<std::u16string, emu::pnp::HardwareValue>& values);
    ~Stack();  // closes, removes and unloads
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    bool Added() const;
    NTSTATUS Start();
    NTSTATUS Open();  // opens the port's device object by its device name
    emu::io::File* File() { return file_.get(); }
    usbpipe::Device& Dev() { return *device_; }
    // Lets virtual time pass, settling after each due timer.
    void Advance(uint32_t ms);
    // Cancels what the handle has outstanding; every request must complete within a minute.
    void Settle(std::vector<emu::io::Request>& requests);
    // Settles, then closes the handle.
    void Close(std::vector<emu::io::Request>& requests);
    void Remove();

private:
    std::shared_ptr<usbpipe::Device> device_;
    PDRIVER_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT vcom_ = nullptr;
    std::unique_ptr<emu::pnp::DeviceNode> node_;
    NTSTATUS added_ = STATUS_SUCCESS;
    bool started_ = false;
    std::unique_ptr<emu::io::File> file_;
};

}  // namespace vcomfuzz
