// Pool accounting, fault injection and misuse checks; counted strings and wide formatting with
// Windows semantics (the driver's naming depends on them).
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "nt/ke.h"
#include "nt/rtl.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;

std::u16string Text(const wchar_t* s, size_t n) {
    std::u16string t;
    for (size_t i = 0; i < n; ++i) t += static_cast<char16_t>(s[i]);
    return t;
}

TEST(Pool, AccountsPerTagAndDriverAndReportsLeaksPerTag) {
    int driverA = 0;
    void* a;
    void* b;
    {
        emu::DriverScope scope(&driverA);
        a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, 'tlif');
        b = ExAllocatePoolWithTag(PagedPool, 28, 'tlif');
    }
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'cric');
    ASSERT_TRUE(a && b && c);
    auto usage = emu::pool::Outstanding(&driverA);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(emu::pool::TagName(usage.begin()->first), "filt");
    EXPECT_EQ(usage.begin()->second.allocations, 2u);
    EXPECT_EQ(usage.begin()->second.bytes, 128u);
    {
        ExpectFaults faults;
        EXPECT_FALSE(emu::pool::CheckNoLeaks(&driverA, "unload"));
        auto reports = faults.Take();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].fault, Fault::PoolLeak);
        EXPECT_NE(reports[0].message.find("filt"), std::string::npos);
        EXPECT_NE(reports[0].message.find("128 bytes"), std::string::npos);
    }
    ExFreePoolWithTag(a, 'tlif');
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_TRUE(emu::pool::CheckNoLeaks(&driverA, "unload"));
}

TEST(Pool, EndOfTestReportsDriverBlocksNotAlreadyReportedAtUnload) {
    int unloaded = 0, running = 0;
    void* a;
    void* b;
    {
        emu::DriverScope scope(&unloaded);
        a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'dlo1');
    }
    {
        emu::DriverScope scope(&running);
        b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'wen2');
    }
    void* byTest = ExAllocatePoolWithTag(NonPagedPoolNx, 4, 'tset');
    ExpectFaults faults;
    emu::pool::CheckNoLeaks(&unloaded, "unload");
    ASSERT_EQ(faults.Take().size(), 1u);
    emu::testing::RunEndOfTestChecks();
    auto reports = faults.Take();
    ASSERT_EQ(reports.size(), 1u);  // only the driver that was not unloaded; test code's block is its own
    EXPECT_EQ(reports[0].fault, Fault::PoolLeak);
    EXPECT_NE(reports[0].message.find("2new"), std::string::npos);
    emu::testing::RunEndOfTestChecks();  // reported once
    EXPECT_TRUE(faults.Take().empty());
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(byTest);
}

TEST(Pool, FaultInjectionFailsTheChosenAllocation) {
    emu::pool::FailNthWithTag('aerc', 2);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'aerc');
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tini');
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'aerc');
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'aerc');
    EXPECT_NE(first, nullptr);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    emu::pool::FailNth(1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tini'), nullptr);
    emu::pool::FailTag('tini');
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tini'), nullptr);
    emu::pool::ClearFaults();
    void* again = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tini');
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(emu::pool::AllocationCounts()['aerc'], 3u);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(0xFFFFFFC0u), 'aerc'), nullptr);  // too large
    for (void* p : {first, other, third, again}) ExFreePool(p);
}

TEST(Pool, PagedPoolAtDispatchDoubleFreeAndWrongTagAreReported) {
    ExpectFaults faults;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* paged = ExAllocatePoolWithTag(PagedPool, 16, 'tset');
    KeLowerIrql(old);
    EXPECT_TRUE(faults.Saw(Fault::PagedPoolAtDispatch));
    faults.Take();
    ExFreePoolWithTag(paged, 'gnrw');
    EXPECT_TRUE(faults.Saw(Fault::PoolMisuse));
    faults.Take();
    ExFreePool(paged);
    EXPECT_TRUE(faults.Saw(Fault::PoolMisuse));
}

TEST(Strings, AppendRefusesWhatDoesNotFitAndChangesNothing) {
    WCHAR buffer[15];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"\\DosDevices\\"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"COM7"), STATUS_BUFFER_TOO_SMALL);  // 32 bytes into 30
    EXPECT_EQ(s.Length, 24);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"COM"), STATUS_SUCCESS);
    EXPECT_EQ(Text(s.Buffer, s.Length / 2), u"\\DosDevices\\COM");  // an exact fit is accepted
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"COM7");
    RtlInitUnicodeString(&b, L"com7");
    EXPECT_EQ(a.Length, 8);
    EXPECT_EQ(a.MaximumLength, 10);
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
}

TEST(Strings, IntegerConversionsBothWays) {
    WCHAR buffer[4];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s.Buffer, s.Length / 2), u"FF");
    EXPECT_EQ(s.Buffer[2], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &s), STATUS_SUCCESS);  // fills exactly, no NUL room
    EXPECT_EQ(Text(s.Buffer, s.Length / 2), u"1234");
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, 8);  // unchanged
    ULONG v = 0;
    UNICODE_STRING t;
    RtlInitUnicodeString(&t, L"  0x1F rest");
    EXPECT_EQ(RtlUnicodeStringToInteger(&t, 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
    RtlInitUnicodeString(&t, L"-12");
    EXPECT_EQ(RtlUnicodeStringToInteger(&t, 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 0u - 12u);
    // Only the counted characters are read, not up to a NUL.
    WCHAR digits[] = L"4096";
    UNICODE_STRING part{4, sizeof digits, digits};
    EXPECT_EQ(RtlUnicodeStringToInteger(&part, 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 40u);
    EXPECT_EQ(RtlUnicodeStringToInteger(&part, 7, &v), STATUS_INVALID_PARAMETER);
}

int Format(wchar_t* out, size_t count, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = _vsnwprintf(out, count, fmt, ap);
    va_end(ap);
    return n;
}

TEST(Strings, WideFormattingHasWindowsWidthsAndTruncation) {
    wchar_t out[64];
    // %lu takes 32 bits: the 64-bit argument after it must still be read correctly.
    ULONG n = 999;
    ULONGLONG big = 0x1122334455667788ULL;
    int len = Format(out, 64, L"\\Device\\zelcom%lu-%I64x-%ws", n, big, L"x");
    EXPECT_EQ(Text(out, len), u"\\Device\\zelcom999-1122334455667788-x");
    EXPECT_EQ(out[len], 0);
    // Exactly full: no NUL, count returned; one short: -1.
    wchar_t small[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(Format(small, 4, L"%lu", ULONG{1234}), 4);
    EXPECT_EQ(Text(small, 4), u"1234");
    EXPECT_EQ(Format(small, 3, L"%lu", ULONG{1234}), -1);
    EXPECT_EQ(Format(out, 64, L"%04x|%-3d|%5s", 0xab, 7, L"ab"), 14);
    EXPECT_EQ(Text(out, 14), u"00ab|7  |   ab");
}

}  // namespace
