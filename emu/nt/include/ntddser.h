// Emulated Windows kernel: serial IOCTL codes and structures (ntddser.h).
#pragma once
#include "nt/types.h"
