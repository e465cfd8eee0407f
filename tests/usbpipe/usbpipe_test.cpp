// Contract tests of the simulated lower driver, driven by a small test driver above it, and
// tests of the device model's command decoding and loopback plug.
#include <gtest/gtest.h>

#include <emu/pnp.h>
#include <emu/sched.h>
#include <nt/io.h>
#include <nt/ke.h>
#include <usbpipe/usbpipe.h>

#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

using namespace usbpipe;

namespace {

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    KeSetEvent(static_cast<PKEVENT>(ctx), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct AsyncRead {
    uint8_t buf[4096] = {};
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR info = 0;
    PIRP irp = nullptr;
    bool completed() { return KeReadStateEvent(&done) != 0; }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(buf, buf + info); }
};

// A pipe write whose completion signals its event; the I/O manager frees the request.
struct AsyncWrite {
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    bool completed() { return KeReadStateEvent(&ev) != 0; }
    void Wait() { KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr); }
};

NTSTATUS ReadDone(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    auto* r = static_cast<AsyncRead*>(ctx);
    r->status = irp->IoStatus.Status;
    r->info = irp->IoStatus.Information;
    if (irp->MdlAddress) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    KeSetEvent(&r->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The test driver: pipes opened with file objects of its own, requests built as the port does.
class Stack : public ::testing::Test {
protected:
    // Starts a device and opens the pipes named (as tx, rx and st).
    void Up(Config cfg = {}, std::initializer_list<Pipe> open = {}) {
        cfg.recordTx = true;  // the contract tests check the transmit record
        dev = Device::Create(cfg);
        driver = emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry);
        ASSERT_NE(driver, nullptr);
        node = emu::pnp::DeviceNode::Create("USB\\VID_0000&PID_0000\\1", {}, {driver});
        ASSERT_TRUE(node);
        ASSERT_EQ(node->Start(), STATUS_SUCCESS);
        top = node->Top();
        ASSERT_EQ(dev->DeviceObject(), top);
        OpenPipes(open);
    }
    void OpenPipes(std::initializer_list<Pipe> pipes) {
        static const char16_t* const kNames[] = {u"\\PIPE00", u"\\PIPE01", u"\\PIPE02"};
        for (Pipe p : pipes) {
            PFILE_OBJECT& f = p == kTx ? tx : p == kRx ? rx : st;
            f = NewFile(kNames[p]);
            ASSERT_EQ(Open(f), STATUS_SUCCESS) << "pipe " << p;
        }
    }
    // Ends this device within a test that runs several (TearDown ends the last).
    void Down() {
        TearDown();
        files.clear();
        driver = nullptr;
        tx = rx = st = nullptr;
    }
    void TearDown() override {
        for (auto& f : files)
            if (f->FsContext) Close(f.get());
        if (node) {
            node->Remove();
            node.reset();
        }
        if (driver) emu::pnp::UnloadDriver(driver);
        dev.reset();
    }

    PFILE_OBJECT NewFile(const char16_t* name) {
        auto f = std::make_unique<FILE_OBJECT>();
        std::memset(f.get(), 0, sizeof(FILE_OBJECT));
        names.emplace_back(name);
        f->DeviceObject = top;
        f->FileName.Buffer = reinterpret_cast<PWCHAR>(names.back().data());
        f->FileName.Length = f->FileName.MaximumLength = static_cast<USHORT>(names.back().size() * 2);
        files.push_back(std::move(f));
        return files.back().get();
    }

    NTSTATUS CreateOrClose(UCHAR major, PFILE_OBJECT file) {
        KEVENT ev;
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        auto* sl = IoGetNextIrpStackLocation(irp);
        sl->MajorFunction = major;
        sl->FileObject = file;
        IoSetCompletionRoutine(irp, SignalEvent, &ev, TRUE, TRUE, TRUE);
        if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS s = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return s;
    }
    NTSTATUS Open(PFILE_OBJECT f) { return CreateOrClose(IRP_MJ_CREATE, f); }
    NTSTATUS Close(PFILE_OBJECT f) { return CreateOrClose(IRP_MJ_CLOSE, f); }

    // A synchronous buffered control request; runs the device until it completes.
    NTSTATUS Ioctl(ULONG code, PFILE_OBJECT file, void* in = nullptr, ULONG inLen = 0, void* out = nullptr,
                   ULONG outLen = 0, ULONG_PTR* info = nullptr) {
        KEVENT ev;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, inLen, out, outLen, FALSE, &ev, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        if (IoCallDriver(top, irp) == STATUS_PENDING) {
            emu::RunUntilIdle();
            KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        }
        if (info) *info = iosb.Information;
        return iosb.Status;
    }
    NTSTATUS Command(std::vector<uint8_t> bytes) {
        return Ioctl(IOCTL_DEVICE_COMMAND, nullptr, bytes.data(), static_cast<ULONG>(bytes.size()), bytes.data(),
                     static_cast<ULONG>(bytes.size()));
    }

    std::unique_ptr<AsyncRead> StartRead(PFILE_OBJECT file, ULONG len) {
        auto r = std::make_unique<AsyncRead>();
        KeInitializeEvent(&r->done, NotificationEvent, FALSE);
        r->irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, top, r->buf, len, nullptr, nullptr);
        auto* sl = IoGetNextIrpStackLocation(r->irp);
        sl->FileObject = file;
        IoSetCompletionRoutine(r->irp, ReadDone, r.get(), TRUE, TRUE, TRUE);
        IoCallDriver(top, r->irp);
        return r;
    }
    // A read sent and the device run until it has nothing left to do.
    std::unique_ptr<AsyncRead> ReadNow(PFILE_OBJECT file, ULONG len) {
        auto r = StartRead(file, len);
        emu::RunUntilIdle();
        return r;
    }

    // A pipe write built for `file` but not sent (the buffered request holds its own copy).
    std::unique_ptr<AsyncWrite> BuildWrite(PFILE_OBJECT file, std::vector<uint8_t> data) {
        auto w = std::make_unique<AsyncWrite>();
        KeInitializeEvent(&w->ev, NotificationEvent, FALSE);
        w->irp = IoBuildDeviceIoControlRequest(IOCTL_PIPE_WRITE, top, data.data(), static_cast<ULONG>(data.size()),
                                               nullptr, 0, FALSE, &w->ev, &w->iosb);
        IoGetNextIrpStackLocation(w->irp)->FileObject = file;
        return w;
    }
    // A pipe write sent, which the device must leave pending.
    std::unique_ptr<AsyncWrite> StartWrite(PFILE_OBJECT file, std::vector<uint8_t> data) {
        auto w = BuildWrite(file, std::move(data));
        EXPECT_EQ(IoCallDriver(top, w->irp), STATUS_PENDING);
        return w;
    }

    std::shared_ptr<Device> dev;
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<emu::pnp::DeviceNode> node;
    PDEVICE_OBJECT top = nullptr;
    PFILE_OBJECT tx = nullptr, rx = nullptr, st = nullptr;  // as OpenPipes opened them
    std::vector<std::unique_ptr<FILE_OBJECT>> files;
    std::deque<std::u16string> names;  // stable addresses for FileName
};

TEST_F(Stack, PipeCreateAndClose) {
    Up({.hasPipe = {true, true, false}}, {kTx, kRx});
    PFILE_OBJECT noStatusPipe = NewFile(u"\\PIPE02"), bad = NewFile(u"\\PIPE07");
    EXPECT_EQ(Open(noStatusPipe), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(NT_SUCCESS(Open(bad)));
    EXPECT_EQ(dev->OpenCount(kTx), 1);
    EXPECT_EQ(Close(tx), STATUS_SUCCESS);
    EXPECT_EQ(dev->OpenCount(kTx), 0);
    // Requests on a pipe of the wrong direction are refused.
    ULONG_PTR info = 0;
    uint8_t b = 1;
    EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_PIPE_WRITE, rx, &b, 1, nullptr, 0, &info)));
}

TEST_F(Stack, ReadsPendUntilDataAndCompleteInPackets) {
    Up({}, {kRx});
    auto r1 = StartRead(rx, 100);
    auto r2 = ReadNow(rx, 10);
    EXPECT_FALSE(r1->completed());
    EXPECT_EQ(dev->Pending(kRx), 2u);
    std::vector<uint8_t> data(105);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    dev->Inject(data);
    emu::RunUntilIdle();
    ASSERT_TRUE(r1->completed());
    ASSERT_TRUE(r2->completed());
    EXPECT_EQ(r1->status, STATUS_SUCCESS);
    EXPECT_EQ(r1->bytes(), std::vector<uint8_t>(data.begin(), data.begin() + 100));
    EXPECT_EQ(r2->bytes(), std::vector<uint8_t>(data.begin() + 100, data.end()));
}

// Received bytes wait in a ring: they keep their order where it wraps and where it grows while
// wrapped.
TEST_F(Stack, ReceivedBytesKeepTheirOrderAcrossTheRingsWrapAndGrowth) {
    Up({}, {kRx});
    uint64_t next = 0, expect = 0;
    auto inject = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = static_cast<uint8_t>(next++ * 31 / 7);
        dev->Inject(b);
    };
    auto read = [&](ULONG len, ULONG_PTR want) {
        auto r = ReadNow(rx, len);
        ASSERT_TRUE(r->completed());
        ASSERT_EQ(r->info, want);
        for (ULONG_PTR i = 0; i < want; ++i, ++expect)
            ASSERT_EQ(r->buf[i], static_cast<uint8_t>(expect * 31 / 7)) << "byte " << expect;
    };
    inject(3000);
    read(2000, 2000);
    inject(3000);  // wraps
    inject(2000);  // grows while wrapped
    EXPECT_EQ(dev->RxBacklog(), 6000u);
    read(4096, 4096);
    read(4096, 1904);
    EXPECT_EQ(dev->RxBacklog(), 0u);
}

// The transmit record is kept only when asked for; the count of bytes sent always. Writes are
// recorded, zero-length ones included.
TEST_F(Stack, TheTransmitRecordIsKeptOnlyWhenAskedFor) {
    Up({}, {kTx});
    uint8_t b[3] = {1, 2, 3};
    dev->RecordTx(false);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, b, 3), STATUS_SUCCESS);
    EXPECT_THROW(dev->TxStream(), std::logic_error);
    EXPECT_THROW(dev->TransferLog(), std::logic_error);
    dev->RecordTx(true);
    ULONG_PTR info = 99;
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, b + 1, 2, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 2u);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, nullptr, 0, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(dev->TxStream(), (std::vector<uint8_t>{2, 3}));
    auto log = dev->TransferLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bytes.size(), 2u);
    EXPECT_TRUE(log[1].bytes.empty());
    EXPECT_EQ(dev->TxBytes(), 5u);
}

// A line that loses a byte, for checks that must notice a loss.
TEST_F(Stack, TheLineCanLoseOneChosenByte) {
    Up({}, {kRx});
    dev->Inject({0, 1});
    dev->DropArrivingByte(3);  // counted from now on
    dev->Inject({10, 11});
    dev->Inject({12, 13, 14});
    auto r = ReadNow(rx, 10);
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->bytes(), (std::vector<uint8_t>{0, 1, 10, 11, 12, 14}));
}

TEST_F(Stack, PacketSizeResetAndAbort) {
    Up({.packetSize = {64, 512, 1}}, {kRx});
    ULONG size = 0;
    ULONG_PTR info = 0;
    EXPECT_EQ(Ioctl(IOCTL_PIPE_GET_INFO, rx, nullptr, 0, &size, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(size, 512u);
    EXPECT_EQ(info, 4u);
    auto r1 = StartRead(rx, 64), r2 = StartRead(rx, 64);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_ABORT, rx), STATUS_SUCCESS);
    emu::RunUntilIdle();
    ASSERT_TRUE(r1->completed() && r2->completed());
    EXPECT_EQ(r1->status, STATUS_CANCELLED);
    EXPECT_EQ(r2->status, STATUS_CANCELLED);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_RESET, rx), STATUS_SUCCESS);
    EXPECT_EQ(dev->ResetCount(kRx), 1);
    auto r3 = StartRead(rx, 64);
    dev->Inject({9});
    emu::RunUntilIdle();
    ASSERT_TRUE(r3->completed());
    EXPECT_EQ(r3->info, 1u);
}

TEST_F(Stack, CancelOfPendingReadAndHeldWrite) {
    Up({}, {kRx, kTx});
    auto r = ReadNow(rx, 16);
    IoCancelIrp(r->irp);
    emu::RunUntilIdle();
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(dev->Pending(kRx), 0u);
    // A write the device has not finished yet (paced at 300 baud) is cancellable.
    dev->SetPacing(true);
    ASSERT_EQ(Command({0x00, 0x00}), STATUS_INVALID_DEVICE_REQUEST);  // variant 0: default line
    auto w = StartWrite(tx, std::vector<uint8_t>(64));
    emu::RunUntilIdle();
    EXPECT_EQ(dev->Pending(kTx), 1u);
    IoCancelIrp(w->irp);
    emu::RunUntilIdle();
    w->Wait();
    EXPECT_EQ(w->iosb.Status, STATUS_CANCELLED);
    emu::AdvanceTime(1000);  // the paced completion finds nothing left to complete
}

// A stalled transmit pipe keeps transfers unsent and cancellable; ending the stall sends the
// rest in order, and an abort cancels what waits.
TEST_F(Stack, StalledTransmitPipe) {
    Up({}, {kTx});
    dev->StallTx(true);
    std::unique_ptr<AsyncWrite> w[3] = {StartWrite(tx, {1, 1, 1, 1}), StartWrite(tx, {2, 2}), StartWrite(tx, {3})};
    emu::AdvanceTime(1000);
    EXPECT_EQ(dev->Pending(kTx), 3u);
    EXPECT_TRUE(dev->TransferLog().empty());
    dev->SendStalled(1);
    emu::RunUntilIdle();
    EXPECT_EQ(dev->TxStream(), (std::vector<uint8_t>{1, 1, 1, 1}));
    EXPECT_EQ(dev->Pending(kTx), 2u);
    IoCancelIrp(w[1]->irp);
    emu::RunUntilIdle();
    w[1]->Wait();
    EXPECT_EQ(w[1]->iosb.Status, STATUS_CANCELLED);
    dev->StallTx(false);
    emu::RunUntilIdle();
    for (auto [i, len] : {std::pair{0, 4u}, std::pair{2, 1u}}) {
        w[i]->Wait();
        EXPECT_EQ(w[i]->iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(w[i]->iosb.Information, len);
    }
    EXPECT_EQ(dev->TxStream(), (std::vector<uint8_t>{1, 1, 1, 1, 3}));

    dev->StallTx(true);
    auto aborted = StartWrite(tx, {1, 1, 1, 1});
    EXPECT_EQ(Ioctl(IOCTL_PIPE_ABORT, tx), STATUS_SUCCESS);
    emu::RunUntilIdle();
    aborted->Wait();
    EXPECT_EQ(aborted->iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(aborted->iosb.Information, 0u);  // nothing of it reached the line
    dev->StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(dev->TxStream().size(), 5u);
}

TEST_F(Stack, FaultsHoldAndUnplug) {
    Up({}, {kRx, kTx});
    uint8_t b = 5;
    dev->FailTransfers(kTx, 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, &b, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, &b, 1), STATUS_SUCCESS);
    dev->FailCommand(0x03, STATUS_INTERNAL_ERROR);
    EXPECT_EQ(Command({0x03, 0x01}), STATUS_INTERNAL_ERROR);

    dev->HoldCompletions(true);
    auto r = StartRead(rx, 8);
    dev->Inject({1, 2});
    emu::RunUntilIdle();
    EXPECT_FALSE(r->completed());
    EXPECT_EQ(dev->HeldCount(), 1u);
    dev->ReleaseHeld();
    emu::RunUntilIdle();
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->info, 2u);
    dev->HoldCompletions(false);

    auto r2 = ReadNow(rx, 8);
    dev->Unplug();
    emu::RunUntilIdle();
    ASSERT_TRUE(r2->completed());
    EXPECT_EQ(r2->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, &b, 1), STATUS_DEVICE_NOT_CONNECTED);
    PFILE_OBJECT again = NewFile(u"\\PIPE01");
    EXPECT_EQ(Open(again), STATUS_DEVICE_NOT_CONNECTED);
}

// A driver above sends its next request from the completion routine of the last, as the port's
// reader does: reads, or one-byte writes of 0x41.
struct Chain {
    PDEVICE_OBJECT top;
    PFILE_OBJECT file;
    UCHAR major;  // IRP_MJ_READ or IRP_MJ_DEVICE_CONTROL (a pipe write)
    int left;
    NTSTATUS expect;  // what each request completes with
    int completed = 0;
    uint8_t buf[8] = {0x41};
    KEVENT done{};
    void Start() {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        SendChained(this);
    }
    static void SendChained(Chain* c);
};

NTSTATUS ChainDone(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    auto* c = static_cast<Chain*>(ctx);
    EXPECT_EQ(irp->IoStatus.Status, c->expect);
    if (irp->MdlAddress) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    c->completed++;
    if (--c->left > 0) Chain::SendChained(c);
    else KeSetEvent(&c->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Chain::SendChained(Chain* c) {
    PIRP irp = c->major == IRP_MJ_READ
                   ? IoBuildAsynchronousFsdRequest(IRP_MJ_READ, c->top, c->buf, sizeof c->buf, nullptr, nullptr)
                   : IoAllocateIrp(c->top->StackSize, FALSE);
    auto* sl = IoGetNextIrpStackLocation(irp);
    if (c->major != IRP_MJ_READ) {
        sl->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sl->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
        sl->Parameters.DeviceIoControl.InputBufferLength = 1;
        irp->AssociatedIrp.SystemBuffer = c->buf;
    }
    sl->FileObject = c->file;
    IoSetCompletionRoutine(irp, ChainDone, c, TRUE, TRUE, TRUE);
    IoCallDriver(c->top, irp);
}

// On an unplugged device each completes at once, in the sender's call.
TEST_F(Stack, RequestsSentFromACompletionOnAnUnpluggedDeviceComplete) {
    Up({}, {kRx, kTx});
    dev->Unplug();
    for (auto [file, major] : {std::pair{rx, UCHAR(IRP_MJ_READ)}, std::pair{tx, UCHAR(IRP_MJ_DEVICE_CONTROL)}}) {
        Chain c{top, file, major, 3, STATUS_DEVICE_NOT_CONNECTED};
        c.Start();
        emu::RunUntilIdle();
        ASSERT_TRUE(KeReadStateEvent(&c.done));
        EXPECT_EQ(c.completed, 3);
    }
}

TEST_F(Stack, StatusPipeReadsCurrentByteOrWaitsForChange) {
    Up({.variant = 2, .statusOnChange = true}, {kStatus});
    dev->SetStatusByte(0x05);
    auto r = ReadNow(st, 1);
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->buf[0], 0x05);
    auto r2 = ReadNow(st, 1);
    EXPECT_FALSE(r2->completed());
    // Loopback: DTR drives DSR and DCD, RTS drives CTS.
    // Plugging it in with all output lines off drops CTS and DCD: a change.
    dev->SetLoopback(true);
    emu::RunUntilIdle();
    ASSERT_TRUE(r2->completed());
    EXPECT_EQ(r2->buf[0] & 0x07, 0);
    auto r3 = StartRead(st, 1);
    EXPECT_EQ(Command({0x01, kLineDtr}), STATUS_SUCCESS);
    emu::RunUntilIdle();
    ASSERT_TRUE(r3->completed());
    EXPECT_EQ(r3->buf[0] & 0x07, kStatusDsr | kStatusDcd);
    EXPECT_EQ(Command({0x01, kLineRts}), STATUS_SUCCESS);
    EXPECT_EQ(dev->StatusByte() & 0x07, kStatusCts);
}

TEST_F(Stack, CountingPatternThroughLoopbackWithoutLoss) {
    Up({}, {kRx, kTx});
    dev->SetLoopback(true);
    dev->StartCounting(20000);
    std::vector<uint8_t> got;
    for (int ms = 0; ms < 200; ++ms) {
        auto r = StartRead(rx, 256);
        emu::AdvanceTime(1);
        if (!r->completed()) {
            IoCancelIrp(r->irp);
            emu::RunUntilIdle();
        }
        if (NT_SUCCESS(r->status) && r->info) {
            // Echo through the plug: what we send comes back after the generated bytes.
            got.insert(got.end(), r->buf, r->buf + r->info);
        }
    }
    dev->StopCounting();
    ASSERT_GT(got.size(), 3000u);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i)) << i;
    // Transmitted bytes come back as received bytes.
    emu::AdvanceTime(5);
    while (dev->RxBacklog()) ReadNow(rx, 4096);
    uint8_t hello[5] = {'h', 'e', 'l', 'l', 'o'};
    auto r = StartRead(rx, 5);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, hello, 5), STATUS_SUCCESS);
    emu::RunUntilIdle();
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->bytes(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(Stack, InlineCompletionAndPacing) {
    Up({.variant = 3, .completeInline = true}, {kTx});
    // Completed inside the call: no pending status, no device thread involved.
    KEVENT ev;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    uint8_t cmd[3] = {0x00, 0x04, 0x01};  // 9600 8N1
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_DEVICE_COMMAND, top, cmd, 3, cmd, 3, FALSE, &ev, &iosb);
    IoCallDriver(top, irp);
    EXPECT_TRUE(KeReadStateEvent(&ev));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    // 96 bytes at 9600 8N1 take 100 ms on the emulation's clock.
    dev->SetPacing(true);
    auto w = StartWrite(tx, std::vector<uint8_t>(96, 0x55));
    emu::AdvanceTime(99);
    EXPECT_FALSE(w->completed());
    emu::AdvanceTime(1);
    EXPECT_TRUE(w->completed());
    EXPECT_EQ(w->iosb.Information, 96u);
}

// A paced write cut off by cancel or abort has sent only the bytes whose time had come: the rest
// never reach the wire or the loopback plug, and the line is free for the next write at once.
TEST_F(Stack, PacedWriteCutOffSendsOnlyWhatLeftInTime) {
    Up({.variant = 3}, {kRx, kTx});
    ASSERT_EQ(Command({0x00, 0x04, 0x01}), STATUS_SUCCESS);  // 9600 8N1: 1.04 ms a byte
    dev->SetLoopback(true);
    dev->SetPacing(true);
    for (bool abort : {false, true}) {
        SCOPED_TRACE(abort ? "abort" : "cancel");
        dev->ClearTx();
        std::vector<uint8_t> data(1000);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
        auto w = StartWrite(tx, data);
        emu::AdvanceTime(30);  // 28 bytes have left
        if (abort) {
            ASSERT_EQ(Ioctl(IOCTL_PIPE_ABORT, tx), STATUS_SUCCESS);
        } else {
            IoCancelIrp(w->irp);
        }
        emu::RunUntilIdle();
        ASSERT_TRUE(w->completed());
        EXPECT_EQ(w->iosb.Status, STATUS_CANCELLED);
        EXPECT_EQ(w->iosb.Information, 28u);  // what left, so the sender can resend the rest
        EXPECT_EQ(dev->TxStream(), std::vector<uint8_t>(data.begin(), data.begin() + 28));
        // The next write starts on a free line: 10 bytes, 10.4 ms.
        auto next = StartWrite(tx, std::vector<uint8_t>(10, 0xEE));
        emu::AdvanceTime(11);
        ASSERT_TRUE(next->completed());
        EXPECT_EQ(next->iosb.Information, 10u);
        // Back through the plug: the 28 bytes that left, then the next write's.
        emu::AdvanceTime(50);
        std::vector<uint8_t> back;
        while (dev->RxBacklog() > 0) {
            auto r = ReadNow(rx, 4096);
            ASSERT_TRUE(r->completed());
            back.insert(back.end(), r->buf, r->buf + r->info);
        }
        std::vector<uint8_t> expected(data.begin(), data.begin() + 28);
        expected.insert(expected.end(), 10, 0xEE);
        EXPECT_EQ(back, expected);
    }
}

// A write whose bytes are all on the line but whose completion has not come yet reports them
// all when an abort or a cancel ends it: the sender must not send them twice.
// Sends a write and ends it (abort or cancel) from the device thread itself, in a read's
// completion routine: the write's own completion, queued behind this routine, cannot come first.
struct EndWhileWaiting {
    PDEVICE_OBJECT top;
    PIRP write, abort;  // abort: null to cancel instead
    NTSTATUS sent = STATUS_SUCCESS;
};

NTSTATUS EndWriteFromDeviceThread(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    auto* e = static_cast<EndWhileWaiting*>(ctx);
    e->sent = IoCallDriver(e->top, e->write);
    if (e->abort) IoCallDriver(e->top, e->abort);
    else IoCancelIrp(e->write);
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Stack, AnEndedUnpacedWriteReportsItsBytes) {
    // The write must still wait for its completion when it is ended.
    Up({.completeOnWorker = true}, {kTx, kRx});
    for (bool held : {false, true}) {
        for (bool abort : {false, true}) {
            SCOPED_TRACE(std::string(held ? "held, " : "waiting, ") + (abort ? "abort" : "cancel"));
            dev->ClearTx();
            dev->HoldCompletions(held);
            KEVENT abortEv;
            IO_STATUS_BLOCK abortIosb{};
            KeInitializeEvent(&abortEv, NotificationEvent, FALSE);
            auto w = BuildWrite(tx, {1, 2, 3, 4, 5, 6});
            if (held) {
                EXPECT_EQ(IoCallDriver(top, w->irp), STATUS_PENDING);
                emu::RunUntilIdle();
                if (abort) {
                    ASSERT_EQ(Ioctl(IOCTL_PIPE_ABORT, tx), STATUS_SUCCESS);
                } else {
                    IoCancelIrp(w->irp);
                }
            } else {
                EndWhileWaiting end{top, w->irp, nullptr};
                if (abort) {
                    end.abort = IoBuildDeviceIoControlRequest(IOCTL_PIPE_ABORT, top, nullptr, 0, nullptr, 0, FALSE,
                                                              &abortEv, &abortIosb);
                    IoGetNextIrpStackLocation(end.abort)->FileObject = tx;
                }
                uint8_t one = 0;
                PIRP r = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, top, &one, 1, nullptr, nullptr);
                IoGetNextIrpStackLocation(r)->FileObject = rx;
                IoSetCompletionRoutine(r, EndWriteFromDeviceThread, &end, TRUE, TRUE, TRUE);
                EXPECT_EQ(IoCallDriver(top, r), STATUS_PENDING);
                dev->Inject({9});
                emu::RunUntilIdle();
                EXPECT_EQ(end.sent, STATUS_PENDING);
                if (abort) {
                    EXPECT_EQ(abortIosb.Status, STATUS_SUCCESS);
                }
            }
            dev->HoldCompletions(false);
            dev->ReleaseHeld();
            emu::RunUntilIdle();
            ASSERT_TRUE(w->completed());
            EXPECT_EQ(w->iosb.Information, 6u);
            EXPECT_EQ(dev->TxStream().size(), 6u);
        }
    }
}

// Line settings decoded per variant, against the wire examples of the command set.
TEST_F(Stack, LineSettingsDecodedPerVariant) {
    struct Row {
        int variant;
        std::vector<uint8_t> command;
        ULONG baud;
        int dataBits, stopBits;
        Parity parity;
        bool rtsCts, xonXoff;
    } rows[] = {
        {1, {0x00, 0x16}, 38400, 8, 1, Parity::Even, false, false},
        {1, {0x00, 0xEB}, 115200, 7, 2, Parity::Odd, true, true},
        {2, {0x00, 0x4C}, 9600, 8, 2, Parity::None, true, false},  // bits 2, 3 and 6
        {3, {0x00, 0x08, 0x11}, 115200, 8, 1, Parity::None, true, false},
        {3, {0x00, 0x07, 0x2A}, 76800, 7, 2, Parity::Odd, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "variant " << row.variant << " settings " << int(row.command[1]));
        Up({.variant = row.variant});
        EXPECT_EQ(Command(row.command), STATUS_SUCCESS);
        LineState s = dev->State();
        EXPECT_EQ(s.baud, row.baud);
        EXPECT_EQ(s.dataBits, row.dataBits);
        EXPECT_EQ(s.stopBits, row.stopBits);
        EXPECT_EQ(s.parity, row.parity);
        EXPECT_EQ(s.rtsCts, row.rtsCts);
        EXPECT_EQ(s.xonXoff, row.xonXoff);
        Down();
    }
}

// Commands the variant does not define, or of the wrong length, are refused.
TEST_F(Stack, MalformedCommandsAreRefused) {
    struct Row {
        int variant;
        std::vector<uint8_t> command;
        NTSTATUS status;
        const char* what;
    } rows[] = {
        {1, {0x00, 0x16, 0x00}, STATUS_INVALID_PARAMETER, "settings one byte too long"},
        {1, {0x09, 0x00}, STATUS_INVALID_DEVICE_REQUEST, "no such command"},
        {1, {0x01, 0x08}, STATUS_INVALID_PARAMETER, "undefined control bit"},
        {3, {0x00, 0x09, 0x01}, STATUS_INVALID_PARAMETER, "no such baud index"},
        {3, {0x00, 0x04, 0x31}, STATUS_INVALID_PARAMETER, "both flow kinds at once"},
        {3, {0x00, 0x04}, STATUS_INVALID_PARAMETER, "settings one byte short"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Up({.variant = row.variant});
        EXPECT_EQ(Command(row.command), row.status);
        EXPECT_EQ(dev->Commands().back(), row.command);  // recorded as sent
        Down();
    }
}

// The other commands of variant 1 (enable, lines, flow characters, error character) and the
// record of every command, refused ones included.
TEST_F(Stack, CommandsSetTheLineStateAndAreRecorded) {
    Up({.variant = 1});
    EXPECT_EQ(Command({0x03, 0x01}), STATUS_SUCCESS);
    EXPECT_EQ(Command({0x01, 0x03}), STATUS_SUCCESS);
    EXPECT_EQ(Command({0x02, 0x11, 0x13}), STATUS_SUCCESS);
    EXPECT_EQ(Command({0x04, 0x01, 0x3F}), STATUS_SUCCESS);
    LineState s = dev->State();
    EXPECT_TRUE(s.portEnabled);
    EXPECT_EQ(s.controlLines, kLineRts | kLineDtr);
    EXPECT_EQ(s.xonChar, 0x11);
    EXPECT_EQ(s.xoffChar, 0x13);
    EXPECT_TRUE(s.errorCharEnabled);
    EXPECT_EQ(s.errorChar, 0x3F);
    EXPECT_EQ(Command({0x03, 0x00}), STATUS_SUCCESS);
    EXPECT_FALSE(dev->State().portEnabled);
    EXPECT_FALSE(NT_SUCCESS(Command({0x01, 0x08})));
    auto log = dev->Commands();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], (std::vector<uint8_t>{0x03, 0x01}));
    EXPECT_EQ(log[5], (std::vector<uint8_t>{0x01, 0x08}));
    Down();

    // Variant 2 carries break in the control lines.
    Up({.variant = 2});
    EXPECT_EQ(Command({0x01, 0x07}), STATUS_SUCCESS);  // RTS, DTR and break
    EXPECT_EQ(dev->State().controlLines, kLineRts | kLineDtr | 0x04);
}

TEST_F(Stack, PnpAndPowerReachTheBus) {
    Up();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    EXPECT_TRUE(NT_SUCCESS(node->QueryCapabilities(&caps)));
    EXPECT_TRUE(NT_SUCCESS(node->SetDevicePower(PowerDeviceD3)));
    bool sawCaps = false, sawPower = false;
    for (auto [major, minor] : node->BusLog()) {
        sawCaps |= major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES;
        sawPower |= major == IRP_MJ_POWER;
    }
    EXPECT_TRUE(sawCaps);
    EXPECT_TRUE(sawPower);
    // Surprise removal fails what waits in the device.
    OpenPipes({kRx});
    auto r = StartRead(rx, 8);
    EXPECT_TRUE(NT_SUCCESS(node->SurpriseRemoval()));
    emu::RunUntilIdle();
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace

// The n-th request of a kind fails once, without effect (a close still releases its pipe); the
// others of the kind and of other kinds are untouched, and the sweep can ask whether it fired.
TEST_F(Stack, FailNthRequestOfAKind) {
    Up();
    tx = NewFile(u"\\PIPE00");
    rx = NewFile(u"\\PIPE01");
    const NTSTATUS kFault = (NTSTATUS)0xC000009CL;  // kDataError

    dev->FailNthRequest(RequestKind::Create, 2, kFault);
    EXPECT_EQ(Open(tx), STATUS_SUCCESS);
    EXPECT_FALSE(dev->NthRequestFailed(RequestKind::Create));
    EXPECT_EQ(Open(rx), kFault);
    EXPECT_TRUE(dev->NthRequestFailed(RequestKind::Create));
    EXPECT_EQ(dev->OpenCount(kRx), 0);
    EXPECT_EQ(Open(rx), STATUS_SUCCESS);
    EXPECT_EQ(dev->RequestCount(RequestKind::Create), 3u);

    uint8_t a[3] = {1, 2, 3};
    ULONG_PTR info = 99;
    dev->FailNthRequest(RequestKind::Write, 1, kFault);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, a, 3, nullptr, 0, &info), kFault);
    EXPECT_EQ(info, 0u);
    EXPECT_TRUE(dev->TxStream().empty());
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, a, 3, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(dev->TxStream(), (std::vector<uint8_t>{1, 2, 3}));

    dev->FailNthRequest(RequestKind::Command, 1, kFault);
    EXPECT_EQ(Command({0x01, 0x03}), kFault);
    EXPECT_TRUE(dev->Commands().empty());
    EXPECT_EQ(Command({0x01, 0x03}), STATUS_SUCCESS);

    // A failed read leaves the bytes for the next.
    dev->Inject({7, 8});
    dev->FailNthRequest(RequestKind::Read, 1, kFault);
    auto r1 = ReadNow(rx, 8);
    ASSERT_TRUE(r1->completed());
    EXPECT_EQ(r1->status, kFault);
    EXPECT_EQ(r1->info, 0u);
    auto r2 = ReadNow(rx, 8);
    ASSERT_TRUE(r2->completed());
    EXPECT_EQ(r2->info, 2u);

    ULONG size = 0;
    dev->FailNthRequest(RequestKind::Query, 1, kFault);
    dev->FailNthRequest(RequestKind::Reset, 1, kFault);
    dev->FailNthRequest(RequestKind::Abort, 1, kFault);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_GET_INFO, rx, nullptr, 0, &size, 4), kFault);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_RESET, rx), kFault);
    EXPECT_EQ(dev->ResetCount(kRx), 0);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_ABORT, rx), kFault);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_GET_INFO, rx, nullptr, 0, &size, 4), STATUS_SUCCESS);

    // Disarmed before it is reached: nothing fails and nothing is reported as fired.
    dev->FailNthRequest(RequestKind::Write, 2, kFault);
    dev->FailNthRequest(RequestKind::Write, 0, kFault);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, a, 3), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, a, 3), STATUS_SUCCESS);
    EXPECT_FALSE(dev->NthRequestFailed(RequestKind::Write));

    dev->FailNthRequest(RequestKind::Close, 1, kFault);
    EXPECT_EQ(Close(tx), kFault);
    EXPECT_EQ(dev->OpenCount(kTx), 0);
    EXPECT_STREQ(RequestKindName(RequestKind::Query), "query");
}

// ---- knobs: the device as unkind as real hardware ----------------------------------------------

namespace {

// Where and at what level a completion routine ran.
struct Seen {
    KEVENT done;
    std::thread::id thread;
    KIRQL irql = 0xFF;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR info = 0;
};

NTSTATUS RecordDone(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    auto* s = static_cast<Seen*>(ctx);
    s->thread = std::this_thread::get_id();
    s->irql = KeGetCurrentIrql();
    s->status = irp->IoStatus.Status;
    s->info = irp->IoStatus.Information;
    IoFreeIrp(irp);
    KeSetEvent(&s->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// Writes sent from each other's completion over the loopback plug into a waiting read, completed
// in the caller's thread: never under the model's lock (which once deadlocked).
TEST_F(Stack, InlineCompletionReentersTheModel) {
    for (bool everyRequest : {true, false}) {
        SCOPED_TRACE(everyRequest ? "Config::completeInline" : "Knobs::inlineOneIn");
        Up({.completeInline = everyRequest});
        if (!everyRequest) {
            dev->SetKnobs({.inlineOneIn = 1});
        }
        dev->SetLoopback(true);
        ASSERT_NO_FATAL_FAILURE(OpenPipes({kRx, kTx}));
        auto r = StartRead(rx, 64);
        Chain w{top, tx, IRP_MJ_DEVICE_CONTROL, 3, STATUS_SUCCESS};
        w.Start();
        // Everything happened inside the calls, on this thread.
        EXPECT_TRUE(KeReadStateEvent(&w.done));
        ASSERT_TRUE(r->completed());
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->info, 1u);
        EXPECT_EQ(dev->TxStream(), std::vector<uint8_t>(3, 0x41));
        EXPECT_EQ(dev->RxBacklog(), 2u);
        Down();
    }
}

// Each completion path: in the caller's thread at its own level, or on the device thread at
// DISPATCH_LEVEL or PASSIVE_LEVEL.
TEST_F(Stack, CompletionThreadAndLevelFollowTheKnobs) {
    struct Case {
        bool onWorker;  // Config::completeOnWorker
        unsigned inlineOneIn, passiveOneIn;
        bool callerThread;
        KIRQL irql;
    } cases[] = {
        {false, 0, 0, true, PASSIVE_LEVEL},  // nothing delays it: completed in the caller
        {true, 0, 0, false, DISPATCH_LEVEL},
        {false, 0, 1, false, PASSIVE_LEVEL},
        {true, 1, 0, true, PASSIVE_LEVEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "on worker " << c.onWorker << " inline 1/" << c.inlineOneIn << " passive 1/"
                                        << c.passiveOneIn);
        Up({.completeOnWorker = c.onWorker});
        dev->SetKnobs({.inlineOneIn = c.inlineOneIn, .passiveOneIn = c.passiveOneIn});
        ASSERT_NO_FATAL_FAILURE(OpenPipes({kTx}));
        Seen seen;
        KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
        uint8_t b[2] = {1, 2};
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        auto* sl = IoGetNextIrpStackLocation(irp);
        sl->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sl->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
        sl->Parameters.DeviceIoControl.InputBufferLength = 2;
        sl->FileObject = tx;
        irp->AssociatedIrp.SystemBuffer = b;
        IoSetCompletionRoutine(irp, RecordDone, &seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
        if (c.callerThread) {
            EXPECT_TRUE(KeReadStateEvent(&seen.done));
        }
        dev->Drain();
        KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(seen.thread == std::this_thread::get_id(), c.callerThread);
        EXPECT_EQ(seen.irql, c.irql);
        EXPECT_EQ(seen.status, STATUS_SUCCESS);
        EXPECT_EQ(seen.info, 2u);
        Down();
    }
}

// A transfer failed after moving part of its bytes reports them in Information; what it did not
// move stays (received bytes for the next read) or never left (sent bytes).
TEST_F(Stack, PartialFailureMovesPartOfTheBytes) {
    const NTSTATUS kDataError = (NTSTATUS)0xC000009CL;  // STATUS_DEVICE_DATA_ERROR
    Up();
    dev->SetKnobs({.partialFailOneIn = 1, .faultStatus = kDataError});
    ASSERT_NO_FATAL_FAILURE(OpenPipes({kRx, kTx}));
    std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ULONG_PTR sent = 0;
    EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, data.data(), 10, nullptr, 0, &sent), kDataError);
    ASSERT_GE(sent, 1u);
    ASSERT_LT(sent, 10u);
    EXPECT_EQ(dev->TxStream(), std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(sent)));

    dev->Inject(data);
    auto r = ReadNow(rx, 64);
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->status, kDataError);
    ASSERT_GE(r->info, 1u);
    ASSERT_LT(r->info, 10u);
    EXPECT_EQ(r->bytes(), std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(r->info)));
    EXPECT_EQ(dev->RxBacklog(), 10 - r->info);
    EXPECT_EQ(dev->PartialFailures(), 2u);

    dev->SetKnobs({});
    auto rest = ReadNow(rx, 64);
    ASSERT_TRUE(rest->completed());
    EXPECT_EQ(rest->status, STATUS_SUCCESS);
    EXPECT_EQ(r->info + rest->info, 10u);
    EXPECT_EQ(rest->buf[0], data[r->info]);
}

// Unplugged amid a transfer, in either direction: the transfer ends with the bytes it moved and
// STATUS_DEVICE_NOT_CONNECTED, and so does everything else.
TEST_F(Stack, UnpluggedInTheMiddleOfATransfer) {
    for (Pipe cutPipe : {kTx, kRx}) {
        SCOPED_TRACE(cutPipe == kTx ? "write" : "read");
        Up();
        dev->SetKnobs({.unplugAfterBytes = 5});
        ASSERT_NO_FATAL_FAILURE(OpenPipes({kRx, kTx, kStatus}));
        dev->SetStatusByte(0x01);
        std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
        ULONG_PTR info = 0;
        EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, data.data(), 3, nullptr, 0, &info), STATUS_SUCCESS);
        auto r = StartRead(rx, 64);
        if (cutPipe == kTx) {
            EXPECT_EQ(Ioctl(IOCTL_PIPE_WRITE, tx, data.data(), 8, nullptr, 0, &info), STATUS_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(info, 2u);
            EXPECT_EQ(dev->TxStream(), (std::vector<uint8_t>{1, 2, 3, 1, 2}));
            emu::RunUntilIdle();
            ASSERT_TRUE(r->completed());
            EXPECT_EQ(r->info, 0u);
        } else {
            dev->Inject(data);
            emu::RunUntilIdle();
            ASSERT_TRUE(r->completed());
            EXPECT_EQ(r->info, 2u);
            EXPECT_EQ(dev->RxBacklog(), 6u);
        }
        EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_TRUE(dev->Unplugged());
        auto s = ReadNow(st, 1);
        ASSERT_TRUE(s->completed());
        EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
        Down();
    }
}

// Status reads fail for the outage, from the first one on, and then report the byte again.
TEST_F(Stack, StatusReadsFailForAWhileThenRecover) {
    Up();
    Knobs k;
    k.statusOutageMs = 100;
    dev->SetKnobs(k);
    dev->SetStatusByte(kStatusCts);
    ASSERT_NO_FATAL_FAILURE(OpenPipes({kStatus}));
    emu::AdvanceTime(10);  // the outage begins with the first read, not with SetKnobs
    for (int ms : {0, 50, 49}) {
        emu::AdvanceTime(ms);
        auto r = ReadNow(st, 1);
        ASSERT_TRUE(r->completed());
        EXPECT_EQ(r->status, k.faultStatus) << "at " << ms;
        EXPECT_EQ(r->info, 0u);
    }
    emu::AdvanceTime(1);
    auto r = ReadNow(st, 1);
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->buf[0], kStatusCts);
    EXPECT_EQ(dev->StatusReadsFailed(), 3u);
}

// With replies on, an accepted command comes back as the device applied it: a device without
// hardware flow control clears the RTS/CTS bit, which is what variant 2 reads back.
TEST_F(Stack, CommandsAnsweredWithReplyBytes) {
    struct Case {
        int variant;
        bool replies, noHardwareFlow;
        std::vector<uint8_t> command, answer;
        NTSTATUS status;
        int rtsCts;  // as the device applied it (-1: not a line-settings command)
    } cases[] = {
        {2, false, true, {0x00, 0x4C}, {}, STATUS_SUCCESS, 0},
        {2, true, false, {0x00, 0x4C}, {0x00, 0x4C}, STATUS_SUCCESS, 1},
        {2, true, true, {0x00, 0x4C}, {0x00, 0x0C}, STATUS_SUCCESS, 0},
        {3, true, true, {0x00, 0x04, 0x11}, {0x00, 0x04, 0x01}, STATUS_SUCCESS, 0},
        {2, true, true, {0x01, 0x03}, {0x01, 0x03}, STATUS_SUCCESS, -1},
        {2, true, true, {0x00, 0x3C}, {}, STATUS_INVALID_PARAMETER, -1},  // refused: no reply
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "variant " << c.variant << " replies " << c.replies << " no RTS/CTS "
                                        << c.noHardwareFlow << " command " << int(c.command[1]));
        Up({.variant = c.variant});
        dev->SetKnobs({.replyToCommands = c.replies, .noHardwareFlow = c.noHardwareFlow});
        std::vector<uint8_t> in = c.command, out(c.command.size(), 0xEE);
        ULONG_PTR info = 0;
        ULONG len = static_cast<ULONG>(in.size());
        EXPECT_EQ(Ioctl(IOCTL_DEVICE_COMMAND, nullptr, in.data(), len, out.data(), len, &info), c.status);
        EXPECT_EQ(info, c.answer.size());
        if (info) {
            EXPECT_EQ(out, c.answer);
        }
        if (c.rtsCts >= 0) {
            EXPECT_EQ(dev->State().rtsCts, c.rtsCts == 1);
        }
        EXPECT_EQ(dev->Commands().back(), c.command);  // recorded as sent
        Down();
    }
}

// The plug's DTR-to-RI switch: with it on, RI follows DTR (and the status pipe reports the change).
// With the plug in, a write that finds the device's loopback room full waits, cancellable, until
// reads make room; waiting writes keep their order and no byte is lost.
TEST_F(Stack, LoopbackWritesWaitForRoom) {
    Up({.loopbackRoom = 8}, {kTx, kRx});
    dev->SetLoopback(true);
    std::unique_ptr<AsyncWrite> w[5];
    auto write = [&](int i, size_t len) {  // len bytes of i + 1
        w[i] = StartWrite(tx, std::vector<uint8_t>(len, static_cast<uint8_t>(i + 1)));
        emu::RunUntilIdle();
    };
    auto done = [&](int i) { return w[i]->completed(); };
    auto read = [&](ULONG len) {
        auto r = ReadNow(rx, len);
        EXPECT_TRUE(r->completed());
        return r->bytes();
    };
    write(0, 6);
    write(1, 6);  // room left: sent
    write(2, 3);  // full: waits
    write(3, 2);  // waits behind it
    EXPECT_TRUE(done(0) && done(1));
    EXPECT_FALSE(done(2) || done(3));
    EXPECT_EQ(dev->Pending(kTx), 2u);
    EXPECT_EQ(dev->TxBytes(), 12u);
    EXPECT_EQ(read(10), std::vector<uint8_t>({1, 1, 1, 1, 1, 1, 2, 2, 2, 2}));
    ASSERT_TRUE(done(2) && done(3));
    EXPECT_EQ(w[2]->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(w[3]->iosb.Information, 2u);
    EXPECT_EQ(read(16), std::vector<uint8_t>({2, 2, 3, 3, 3, 4, 4}));
    // A waiting write is cancellable; what it would have sent never arrives, and later writes
    // do not wait behind it.
    write(4, 9);
    write(0, 1);
    ASSERT_FALSE(done(0));
    IoCancelIrp(w[0]->irp);
    emu::RunUntilIdle();
    ASSERT_TRUE(done(0));
    EXPECT_EQ(w[0]->iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(w[0]->iosb.Information, 0u);
    EXPECT_EQ(read(16), std::vector<uint8_t>(9, 5));
    write(1, 2);
    EXPECT_TRUE(done(1));
    EXPECT_EQ(dev->TxStream().size(), 28u);
}

TEST_F(Stack, LoopbackPlugWiresDtrToRing) {
    Up({.variant = 2, .statusOnChange = true});
    dev->SetStatusByte(kStatusRi);
    dev->SetLoopback(true);
    EXPECT_EQ(dev->StatusByte(), kStatusRi);  // switch off: RI is the device's own
    dev->SetLoopbackRing(true);
    EXPECT_EQ(dev->StatusByte(), 0);
    ASSERT_NO_FATAL_FAILURE(OpenPipes({kStatus}));
    ASSERT_TRUE(ReadNow(st, 1)->completed());
    auto r = ReadNow(st, 1);
    EXPECT_FALSE(r->completed());
    EXPECT_EQ(Command({0x01, kLineDtr}), STATUS_SUCCESS);
    emu::RunUntilIdle();
    ASSERT_TRUE(r->completed());
    EXPECT_EQ(r->buf[0], kStatusDsr | kStatusDcd | kStatusRi);
    EXPECT_EQ(Command({0x01, 0}), STATUS_SUCCESS);
    EXPECT_EQ(dev->StatusByte(), 0);
}

// A seed always draws the same knobs; over many seeds every knob is drawn, and the failing ones
// only when asked for.
TEST(Knobs, DrawIsSeededAndCoversEveryKnob) {
    EXPECT_EQ(Knobs::Draw(7, true).Describe(), Knobs::Draw(7, true).Describe());
    EXPECT_EQ(Knobs{}.Describe(), "none");
    std::map<std::string, int> seen;
    for (uint64_t seed = 1; seed <= 400; ++seed) {
        for (bool failures : {false, true}) {
            Knobs k = Knobs::Draw(seed, failures);
            EXPECT_EQ(k.seed, seed);
            if (!failures) {
                EXPECT_EQ(k.partialFailOneIn, 0u);
                EXPECT_EQ(k.unplugAfterBytes, 0u);
            }
            std::string d = k.Describe();
            for (const char* name : {"inline", "passive", "partial-fail", "replies", "no-rts-cts", "dtr-to-ri",
                                     "status-outage", "unplug-after"})
                if (d.find(name) != std::string::npos) seen[name]++;
        }
    }
    EXPECT_EQ(seen.size(), 8u);
}
