// Emulated Windows kernel: see wdm.h.
#pragma once
#include "types.h"
