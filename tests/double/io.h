// The runtime's file-mode calls, for the native build: Linux streams have no text mode.
#pragma once

#include <stdio.h>

#define _O_BINARY 0
#define _fileno fileno
static inline int _setmode(int, int mode) { return mode; }
