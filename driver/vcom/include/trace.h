// Diagnostics tracing: messages filtered by a level mask, emitted through DbgPrintEx.
// Tracing carries no behaviour; nothing may depend on whether a message is emitted.
#pragma once
#include "platform.h"

#ifndef DPFLTR_IHVDRIVER_ID
#define DPFLTR_IHVDRIVER_ID 77
#endif
#ifndef DPFLTR_ERROR_LEVEL
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#endif

#define TRACE_LEVEL_ERROR   0x00000001
#define TRACE_LEVEL_WARNING 0x00000002
#define TRACE_LEVEL_INFO    0x00000004
#define TRACE_LEVEL_VERBOSE 0x00000008

// Levels that are emitted; errors and warnings by default. Set by driver entry or a debugger.
extern ULONG VcomTraceMask;

#define VCOM_TRACE(level, format, ...)                                                        \
    do {                                                                                      \
        if (VcomTraceMask & (level)) {                                                        \
            DbgPrintEx(DPFLTR_IHVDRIVER_ID,                                                   \
                       ((level) & TRACE_LEVEL_ERROR) ? DPFLTR_ERROR_LEVEL : DPFLTR_INFO_LEVEL, \
                       "vcom: " format "\n", ##__VA_ARGS__);                                  \
        }                                                                                     \
    } while (0)
