// Emulated Windows kernel: ntddk.h adds nothing the driver needs beyond wdm.h.
#pragma once
#include "wdm.h"
