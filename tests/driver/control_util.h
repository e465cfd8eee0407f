// Helpers for the serial control tests: device controls on an open port of a real stack.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "stack.h"

namespace vcomtest {

template <class T>
Bytes AsBytes(const T& value) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &value, sizeof(T));
    return b;
}

template <class T>
T FromBytes(const Bytes& b) {
    T value{};
    EXPECT_EQ(b.size(), sizeof(T));
    std::memcpy(&value, b.data(), std::min(b.size(), sizeof(T)));
    return value;
}

// A device control sent and waited for.
inline emu::io::Request Control(emu::io::File& f, ULONG code, const Bytes& in = {}, ULONG outLength = 0) {
    return f.Ioctl(code, in.empty() ? nullptr : in.data(), (ULONG)in.size(), outLength);
}

template <class T>
NTSTATUS Set(emu::io::File& f, ULONG code, const T& value) {
    return Control(f, code, AsBytes(value)).Status();
}

template <class T>
T Get(emu::io::File& f, ULONG code) {
    auto r = Control(f, code, {}, sizeof(T));
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Information(), sizeof(T));
    return FromBytes<T>(r.Data());
}

inline NTSTATUS SetMask(emu::io::File& f, ULONG mask) {
    return Set(f, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

inline emu::io::Request WaitAsync(emu::io::File& f) {
    return f.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
}

inline ULONG Events(const emu::io::Request& r) {
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    return FromBytes<ULONG>(r.Data());
}

// The default stack with its port open: where most control tests start.
class PortOpened : public ::testing::Test {
protected:
    Stack s;
    emu::io::File& f = s.OpenOk();
};

}  // namespace vcomtest
