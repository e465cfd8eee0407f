/* Two ordinary Windows serial programs, one in C and one in C++, built unchanged against the
   emulation's headers and against the SDK's. Each runs against a port with a loopback plug and
   returns the number of checks that failed, naming each on stderr. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
int serial_program_c(const char* port);
int serial_program_cpp(const char* port);
#ifdef __cplusplus
}
#endif
