// The world that both fuzz targets set up around the bridge in our Win32 double: the game's two
// windows, another program's window, Wine's X clipboard bridge and what it imports from X, and the
// checks that must hold whatever the input was.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "win32_double.h"

#define GAME ((HWND)0x6A3E)
#define GAME_SECOND ((HWND)0x6A40)  // another window of the game's process
#define GAME_PID 4242ul
#define OTHER ((HWND)0x7E5)
#define OTHER_PID 777ul
#define X_BRIDGE ((HWND)0x5C1B)  // Wine's X clipboard bridge: owns what Wine imported from X
#define NEVER (~0ull)            // renders_from of a format that nobody will render any more
#define START_TICK 1000000ull
#define UTF8_TARGET 0xC301        // formats that Wine registers for an X program's UTF-8 targets
#define TEXT_PLAIN_TARGET 0xC302

// A fresh world and bridge state, with the bridge's output captured (and the double's call log off).
void world_begin(void);
// What the bridge has printed so far.
const std::string &printed_output(void);
// Ends the capture and returns what the bridge printed (also shown on standard error when the
// environment has FUZZ_SHOW_OUTPUT).
std::string world_end(void);

// The clipboard's formats in order, each as "format:bytes" ("format:-" when it yields no data).
std::vector<std::string> clipboard_contents(void);
// A digest of the same, for comparing content without copying it; with renderable_only, of the
// formats that give data now or later only.
uint64_t clipboard_digest(bool renderable_only = false);
// 1 when the clipboard holds the bridge's own chat command and nothing else.
bool command_on_clipboard(void);
// 1 when it holds the command as Wine imported it from an X program that serves it again.
bool command_served_again(void);
// The Unicode text that the clipboard renders now, up to its terminator or the block's end, as an X
// program reads it through Wine; false when it renders none.
bool clipboard_text(std::u16string &text);
// What Wine lists for a plain text that an X program serves: the Unicode text, the locale and the
// two 8-bit forms (which Wine makes itself), then the X target's own format (UTF8_TARGET,
// TEXT_PLAIN_TARGET, or 0 for none); a render of the text or the target asks the X program.
std::vector<clip_entry> x_text_entries(const std::u16string &text, UINT target);
// Aborts unless the world is left clean: clipboard closed, no global block locked or orphaned, no
// misuse of a Win32 call, no process handle open, no heap block held.
void check_world_clean(void);
