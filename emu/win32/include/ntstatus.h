// <ntstatus.h>: the NTSTATUS codes. They come with the base types (programs may still define
// WIN32_NO_STATUS around windows.h as they do for the SDK).
#pragma once
#include "winnt.h"
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
