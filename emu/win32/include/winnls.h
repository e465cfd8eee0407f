// <winnls.h>: its declarations are in windows.h, which programs include first.
#pragma once
#include "windows.h"
