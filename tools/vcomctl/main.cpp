// vcomctl: the vcom driver on the emulated Windows kernel with a simulated USB serial device,
// driven through the Win32-style communications API as an application drives a COM port.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "commands.h"

int main(int argc, char** argv) {
    using namespace vcomctl;
    CLI::App app{"vcomctl: runs the vcom driver on the emulated Windows kernel with a simulated USB serial\n"
                 "device named COM7. Without a command it shows the port working end to end."};
    app.require_subcommand(0, 1);
    Common common;
    auto addCommon = [&common](CLI::App* a) {
        a->add_option("--trace", common.trace, "driver trace level")->check(CLI::IsMember({"error", "warning", "info", "verbose"}));
        a->add_option("--variant", common.variant, "device variant (\"EndPointCaps\")")->check(CLI::Range(0, 3));
        a->add_flag("--tx-async", common.txAsync, "asynchronous transmit (\"TxAsync\" 1)");
        a->add_option("--rx-req", common.rxReqSize, "bytes per receive transfer (\"RxReqSize\")")->check(CLI::Range(0L, 1L << 24));
        a->add_option("--rx-poll", common.rxPollPeriod, "ms between receive transfers (\"RxPollPeriod\")")->check(CLI::Range(0L, 10000L));
        a->add_option("--ctl-poll", common.ctlPollPeriod, "ms between status reads, -1 for none (\"CtlPollPeriod\")")->check(CLI::Range(-1L, 10000L));
        a->add_option("--kick", common.kickThreshold, "transmit kick threshold (\"TxKickThreshold\")")->check(CLI::Range(0L, 1L << 20));
        a->add_flag("--no-baud-check", common.noBaudCheck, "accept any baud rate (\"NoBaudCheck\" 1)");
        a->add_flag("--no-null-packet", common.noNullPacket, "never send zero-length packets (\"TxAllowNullPacket\" 0)");
        a->add_option("--packet", common.packet, "packet size of the bulk pipes")->check(CLI::IsMember({64, 512}));
    };
    addCommon(&app);

    LoopbackOptions loop;
    CLI::App* loopback = app.add_subcommand("loopback", "stream bytes out and back through a loopback plug, check every byte");
    addCommon(loopback);
    loopback->add_option("--bytes", loop.bytes, "bytes to stream")->check(CLI::Range(uint64_t(1), uint64_t(1) << 40));
    loopback->add_flag("--async", common.txAsync, "asynchronous transmit (same as --tx-async)");
    loopback->add_option("--chunk", loop.chunk, "bytes per WriteFile and ReadFile")->check(CLI::Range(1u, 1u << 20));
    loopback->add_option("--rx-req-bytes", common.rxReqSize, "bytes per receive transfer")->check(CLI::Range(0L, 1L << 24));
    loopback->add_option("--queue", loop.queue, "receive queue size (SetupComm)")->check(CLI::Range(1L, 1L << 24));
    loopback->add_option("--baud", loop.baud, "baud rate")->check(CLI::PositiveNumber);
    loopback->add_flag("--paced", loop.paced, "bytes take their time on the line at the baud rate");
    loopback->add_option("--drop-byte", loop.dropByte, "the line loses this byte (shows that loss is detected)")
        ->check(CLI::NonNegativeNumber);

    std::string far = "loopback";
    CLI::App* term = app.add_subcommand("term", "interactive terminal on COM7 (Ctrl-] quits)");
    addCommon(term);
    term->add_option("--far-end", far, "what is at the other end of the line")->check(CLI::IsMember({"loopback", "echo"}));

    int count = 2;
    CLI::App* ports = app.add_subcommand("ports", "plug in devices and list the ports as an application discovers them");
    addCommon(ports);
    ports->add_option("--count", count, "devices to plug in")->check(CLI::Range(1, 64));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    try {
        if (*loopback) return RunLoopback(common, loop);
        if (*term) return RunTerm(common, far == "echo" ? TermFarEnd::Echo : TermFarEnd::Loopback);
        if (*ports) return RunPorts(common, count);
        return RunDemo(common);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcomctl: %s\n", e.what());
        return 1;
    }
}
