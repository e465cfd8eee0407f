// vcomctl as a user runs it: each command's output says what it should, bad arguments are
// refused, and a byte lost on the line is reported as a loss.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
};

Outcome Vcomctl(const std::string& args, const std::string& input = "") {
    Outcome r;
    std::string command = input.empty() ? std::string(VCOMCTL_PATH) + " " + args + " 2>&1 </dev/null"
                                        : "printf '" + input + "' | " + std::string(VCOMCTL_PATH) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool Has(const Outcome& r, const std::string& text) { return r.out.find(text) != std::string::npos; }

}  // namespace

TEST(Vcomctl, TheMainJobShowsThePortWorking) {
    Outcome r = Vcomctl("");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "\\DosDevices\\COM7 -> \\Device\\zelcom0")) << r.out;
    EXPECT_TRUE(Has(r, "SERIALCOMM COM7")) << r.out;
    EXPECT_TRUE(Has(r, "opened COM7         device commands {03 01} {01 03}")) << r.out;
    EXPECT_TRUE(Has(r, "DTR, RTS off        DSR off, DCD off, CTS off")) << r.out;
    EXPECT_TRUE(Has(r, "DTR, RTS on         DSR on, DCD on, CTS on")) << r.out;
    EXPECT_TRUE(Has(r, "read 4096 bytes back, identical")) << r.out;
    EXPECT_TRUE(Has(r, "closed COM7         device commands {03 00}")) << r.out;
    EXPECT_TRUE(Has(r, "verifier faults 0")) << r.out;
}

TEST(Vcomctl, LoopbackChecksEveryByteInBothTransmitModes) {
    for (const char* mode : {"", "--async", "--packet 512 --rx-req 1024"}) {
        Outcome r = Vcomctl(std::string("loopback --bytes 100000 ") + mode);
        EXPECT_EQ(r.exitCode, 0) << mode << "\n" << r.out;
        EXPECT_TRUE(Has(r, "received 100000 of 100000 bytes")) << r.out;
        EXPECT_TRUE(Has(r, "no loss")) << r.out;
    }
}

TEST(Vcomctl, PacedLoopbackWaitsOutTheLineTimeOfAWrite) {
    // 2000 bytes at 9600 baud are on the line for about 2.1 s before they come back whole.
    Outcome r = Vcomctl("loopback --bytes 2000 --baud 9600 --paced");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "received 2000 of 2000 bytes")) << r.out;
}

TEST(Vcomctl, ThePortsOfEveryDeviceVariantWork) {
    // Variant 0 has no status pipe: its input lines read on, so DSR, DCD and CTS never follow.
    for (const char* variant : {"0", "2", "3"}) {
        Outcome r = Vcomctl(std::string("--variant ") + variant);
        EXPECT_EQ(r.exitCode, 0) << variant << "\n" << r.out;
        EXPECT_TRUE(Has(r, "read 4096 bytes back, identical")) << r.out;
    }
}

TEST(Vcomctl, LoopbackReportsALostByte) {
    Outcome r = Vcomctl("loopback --bytes 20000 --drop-byte 1234");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(Has(r, "LOSS: 1 byte(s) missing")) << r.out;
    EXPECT_TRUE(Has(r, "first at position 1234")) << r.out;
}

TEST(Vcomctl, PortsAreFoundAsApplicationsFindThem) {
    Outcome r = Vcomctl("ports --count 3");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    for (const char* name : {"COM7", "COM8", "COM9"}) EXPECT_TRUE(Has(r, name)) << r.out;
    EXPECT_TRUE(Has(r, "3 port(s)")) << r.out;
}

TEST(Vcomctl, TermEchoesTypedBytesThroughThePort) {
    Outcome r = Vcomctl("term --far-end echo", "hello port");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(Has(r, "hello port")) << r.out;
}

TEST(Vcomctl, BadArgumentsAreRefusedClearly) {
    Outcome variant = Vcomctl("--variant 7");
    EXPECT_NE(variant.exitCode, 0);
    EXPECT_TRUE(Has(variant, "--variant")) << variant.out;
    Outcome unknown = Vcomctl("frobnicate");
    EXPECT_NE(unknown.exitCode, 0);
    Outcome packet = Vcomctl("loopback --packet 100");
    EXPECT_NE(packet.exitCode, 0);
    Outcome help = Vcomctl("loopback --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Has(help, "--bytes")) << help.out;
}
