// Game watch: is Star Citizen's window the one the player types into?
#pragma once

#include <windows.h>

#define FOCUS_VALID_MS 300
#define STATE_SPACING_MS 150

// Reader thread: stores a focus report from the host ("focus %d").
void take_focus_report(int focused);
// 1 when the process's image file is named StarCitizen.exe, whatever its directory.
int game_process(DWORD pid);
// The foreground window when it is the game's and the host's focus report is positive and fresh.
HWND foreground_game(void);
// Process id of a window, 0 for none.
DWORD window_pid(HWND hwnd);
// 1 when front, a foreground sample, is still the captured target window of the same process.
int target_check(HWND front);
// First step of a timer tick: samples the game when there is work and prints the state line when
// due. Returns 0 when the tick has nothing more to do.
int watch_step(ULONGLONG now, HWND *front);
