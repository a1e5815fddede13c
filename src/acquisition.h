// Acquisition: the staged sequence that makes the game type out the player's position.
#pragma once

#include <windows.h>

#define KEYS_LIMIT_MS 1000
#define TYPING_LIMIT_MS 3000
#define ANSWER_LIMIT_MS 2000

// "trigger": captures the game window in front and starts stage 1, or refuses with an error line.
void trigger(void);
// "cancel": ends any acquisition without a line.
void cancel(void);
// One timer tick of a running acquisition, with the tick's clock reading and foreground sample.
void advance_stage(ULONGLONG now, HWND front);
// Ends the acquisition with one error line, the user's clipboard put back first.
void fail(const char *message);
