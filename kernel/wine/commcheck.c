/* A serial-port program that uses only the Win32 communications functions on a port with a
 * loopback plug: line settings, timeouts, a paced loopback of data, modem lines, events, purge
 * and error state. Prints one line per check and a summary; exit 0 when all passed.
 * Usage: commcheck.exe COM7 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static int failures, checks;

static void check(int ok, const char *what) {
    ++checks;
    if (!ok) ++failures;
    printf("  %s %s (error %lu)\n", ok ? "ok  " : "FAIL", what, ok ? 0ul : GetLastError());
}

static DWORD modem(HANDLE h) {
    DWORD m = 0;
    GetCommModemStatus(h, &m);
    return m;
}

/* Reads until n bytes came or the timeouts gave nothing for a while. */
static DWORD read_all(HANDLE h, unsigned char *buf, DWORD n) {
    DWORD got = 0;
    for (int idle = 0; got < n && idle < 20;) {
        DWORD k = 0;
        if (!ReadFile(h, buf + got, n - got, &k, NULL)) break;
        got += k;
        idle = k ? 0 : idle + 1;
    }
    return got;
}

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "COM7";
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    ULONGLONG start = GetTickCount64();
    printf("commcheck %s\n", name);

    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    check(h != INVALID_HANDLE_VALUE, "CreateFile opens the port");
    if (h == INVALID_HANDLE_VALUE) return 1;

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    check(GetCommState(h, &dcb), "GetCommState");
    check(BuildCommDCBA("baud=115200 parity=N data=8 stop=1 dtr=on rts=on", &dcb), "BuildCommDCB");
    check(SetCommState(h, &dcb), "SetCommState 115200 8N1");
    DCB back;
    memset(&back, 0, sizeof back);
    back.DCBlength = sizeof back;
    check(GetCommState(h, &back) && back.BaudRate == 115200 && back.ByteSize == 8 && back.Parity == NOPARITY &&
              back.StopBits == ONESTOPBIT,
          "GetCommState returns the settings made");
    DCB bad = back;
    bad.ByteSize = 9;
    check(!SetCommState(h, &bad), "SetCommState refuses 9 data bits");
    check(GetCommState(h, &back) && back.ByteSize == 8, "a refused DCB changes nothing");

    COMMTIMEOUTS t = {0, 0, 200, 0, 2000};
    check(SetCommTimeouts(h, &t), "SetCommTimeouts");
    COMMTIMEOUTS tb;
    check(GetCommTimeouts(h, &tb) && tb.ReadTotalTimeoutConstant == 200 && tb.WriteTotalTimeoutConstant == 2000,
          "GetCommTimeouts returns them");
    check(SetupComm(h, 4096, 4096), "SetupComm");

    check(EscapeCommFunction(h, SETDTR) && EscapeCommFunction(h, SETRTS), "DTR and RTS on");
    DWORD m = modem(h);
    check((m & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON),
          "the plug gives CTS, DSR and DCD");
    check(EscapeCommFunction(h, CLRDTR), "DTR off");
    Sleep(50);  /* the status pipe is polled */
    m = modem(h);
    check(!(m & MS_DSR_ON) && !(m & MS_RLSD_ON) && (m & MS_CTS_ON), "DSR and DCD follow DTR, CTS stays");
    check(EscapeCommFunction(h, SETDTR), "DTR on again");

    unsigned char out[1000], in[1000];
    for (int i = 0; i < (int)sizeof out; ++i) out[i] = (unsigned char)(i * 7 + 3);
    DWORD n = 0;
    ULONGLONG t0 = GetTickCount64();
    check(WriteFile(h, out, sizeof out, &n, NULL) && n == sizeof out, "WriteFile 1000 bytes");
    DWORD got = read_all(h, in, sizeof in);
    ULONGLONG took = GetTickCount64() - t0;
    check(got == sizeof in && memcmp(in, out, sizeof in) == 0, "the 1000 bytes come back in order");
    printf("  (1000 bytes at 115200 8N1 looped back in %llu ms; the line needs 87 ms)\n", took);
    check(took >= 80, "the loopback takes the line's time");

    check(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY), "SetCommMask");
    DWORD mask = 0;
    check(GetCommMask(h, &mask) && mask == (EV_RXCHAR | EV_TXEMPTY), "GetCommMask");
    check(TransmitCommChar(h, 'Z'), "TransmitCommChar");
    DWORD ev = 0;
    check(WaitCommEvent(h, &ev, NULL) && (ev & (EV_RXCHAR | EV_TXEMPTY)), "WaitCommEvent sees the character");
    Sleep(20);
    COMSTAT cs;
    DWORD errors = 0;
    check(ClearCommError(h, &errors, &cs) && errors == 0, "ClearCommError: no line errors");
    check(cs.cbInQue == 1, "one byte waits in the receive queue");
    check(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR), "PurgeComm");
    check(ClearCommError(h, &errors, &cs) && cs.cbInQue == 0, "the purge emptied the receive queue");

    check(SetCommBreak(h) && ClearCommBreak(h), "SetCommBreak and ClearCommBreak");
    COMMPROP prop;
    check(GetCommProperties(h, &prop) && prop.dwMaxBaud != 0, "GetCommProperties");
    check(CloseHandle(h), "CloseHandle");

    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    check(h != INVALID_HANDLE_VALUE, "the port opens again after close");
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);

    printf("commcheck %s: %d checks, %d passed, %d failed, %llu ms\n", name, checks, checks - failures, failures,
           GetTickCount64() - start);
    return failures ? 1 : 0;
}
