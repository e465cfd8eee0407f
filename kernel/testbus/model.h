// The far end's line state and the decoding of the device commands the port sends, for the
// device variants 1 to 3. Plain code without the platform, so it reads like the device's firmware.
#pragma once

namespace testbus {

enum : unsigned char { LineRts = 0x01, LineDtr = 0x02, LineBreak = 0x04 };
enum : unsigned char { StatusCts = 0x01, StatusDsr = 0x02, StatusDcd = 0x04, StatusRi = 0x08 };

struct LineState {
    bool PortEnabled = false;
    unsigned char ControlLines = 0;
    unsigned long Baud = 9600;  // until the first line-settings command
    int DataBits = 8;
    int StopBits = 1;
    bool Parity = false;
    bool RtsCts = false;
    bool XonXoff = false;
    unsigned char XonChar = 0, XoffChar = 0;
    bool ErrorCharEnabled = false;
    unsigned char ErrorChar = 0;
};

// Result codes, mapped to NTSTATUS by the caller.
enum class CommandResult { Ok, BadParameter, Unsupported };

inline CommandResult DecodeCommand(unsigned variant, const unsigned char* b, unsigned len, LineState* line) {
    if (len < 2) return CommandResult::BadParameter;
    switch (b[0]) {
    case 0x00:
        if (variant == 1 || variant == 2) {
            static const unsigned long rates[4] = {9600, 19200, 38400, 115200};
            unsigned char s = b[1];
            if (len != 2 || (s & 0x30) == 0x30) return CommandResult::BadParameter;
            line->Baud = rates[s & 3];
            line->DataBits = (s & 0x04) ? 8 : 7;
            line->StopBits = (s & 0x08) ? 2 : 1;
            line->Parity = (s & 0x30) != 0;
            line->RtsCts = (s & 0x40) != 0;
            line->XonXoff = (s & 0x80) != 0;
            return CommandResult::Ok;
        }
        if (variant == 3) {
            static const unsigned long rates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
            unsigned char f = b[2];
            if (len != 3 || b[1] > 8 || (f & 0xC0) || (f & 0x0C) == 0x0C || (f & 0x30) == 0x30)
                return CommandResult::BadParameter;
            line->Baud = rates[b[1]];
            line->DataBits = (f & 0x01) ? 8 : 7;
            line->StopBits = (f & 0x02) ? 2 : 1;
            line->Parity = (f & 0x0C) != 0;
            line->RtsCts = (f & 0x10) != 0;
            line->XonXoff = (f & 0x20) != 0;
            return CommandResult::Ok;
        }
        return CommandResult::Unsupported;  // variant 0 has no line settings
    case 0x01:
        if (len != 2 || (b[1] & ~0x07)) return CommandResult::BadParameter;
        line->ControlLines = b[1];
        return CommandResult::Ok;
    case 0x02:
        if (len != 3) return CommandResult::BadParameter;
        line->XonChar = b[1];
        line->XoffChar = b[2];
        return CommandResult::Ok;
    case 0x03:
        if (len != 2 || b[1] > 1) return CommandResult::BadParameter;
        line->PortEnabled = b[1] == 1;
        return CommandResult::Ok;
    case 0x04:
        if (len != 3 || b[1] > 1) return CommandResult::BadParameter;
        line->ErrorCharEnabled = b[1] == 1;
        line->ErrorChar = b[2];
        return CommandResult::Ok;
    default:
        return CommandResult::Unsupported;
    }
}

// The line-status byte a loopback plug gives: RTS drives CTS, DTR drives DSR and DCD.
inline unsigned char LoopbackStatus(const LineState& line) {
    unsigned char s = 0;
    if (line.ControlLines & LineRts) s |= StatusCts;
    if (line.ControlLines & LineDtr) s |= StatusDsr | StatusDcd;
    return s;
}

// 100 ns units per character on the line: start, data, parity and stop bits at the baud rate.
inline long long ByteTime(const LineState& line) {
    int bits = 1 + line.DataBits + line.StopBits + (line.Parity ? 1 : 0);
    unsigned long baud = line.Baud ? line.Baud : 9600;
    return static_cast<long long>(bits) * 10000000LL / baud;
}

}  // namespace testbus
