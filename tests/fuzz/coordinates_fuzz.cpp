// Fuzz target: a clipboard block of any size and content written by the game, through validation,
// escaping and the text line, on the passive path (stage 0) or as the answer of an acquisition
// (stage 4). The first byte of an input chooses the path (its lowest bit set: active); the rest is
// the block.
//
// Checked: a block that holds a coordinates text (1 to 8191 bytes, a zero unit within its whole
// units, "Coordinates:" first, only letters, digits, space and ":+-." with tab, CR and LF) is
// reported by one text line whose text decodes back to it exactly; any other block by no text line,
// and an acquisition then ends in its one error line at the deadline. Every line printed is a JSON
// object of its kind, the game's block stays on the clipboard, nothing is left held.

#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include "fuzz_world.h"
#include "output_check.h"
#include "win32_double.h"

#include "clipboard.h"
#include "game_watch.h"
#include "host_protocol.h"
#include "wine_bridge.h"

namespace {

bool allowed(uint16_t unit)
{
    return unit != 0 && unit < 0x80 && (isalnum(unit) || strchr(" :+-.\t\r\n", unit));
}

// The text of a block that holds a coordinates text, as bytes; false for any other block.
bool coordinates_in(const std::string &block, std::string &text)
{
    if (block.empty() || block.size() > 8191)
        return false;
    text.clear();
    for (size_t i = 0; i + 1 < block.size(); i += 2) {
        uint16_t unit = (uint8_t)block[i] | (uint8_t)block[i + 1] << 8;
        if (unit == 0)
            return text.compare(0, 12, "Coordinates:") == 0;
        if (!allowed(unit))
            return false;
        text += (char)unit;
    }
    return false;
}

void tick_for(ULONGLONG milliseconds, ULONGLONG step)
{
    for (ULONGLONG end = w.tick + milliseconds; w.tick < end;) {
        w.tick += step;
        take_focus_report(1);
        procedure(window, WM_TIMER, 1, 0);
    }
}

void command(const char *line) { procedure(window, WM_HOST_LINE, 0, (LPARAM)_strdup(line)); }

// Runs an acquisition up to stage 4, where the game's answer is awaited.
void acquisition_awaits_answer(void)
{
    command("trigger\n");
    for (int i = 0; i < 100 && stage != 4; i++)
        tick_for(10, 10);  // the pause between keys ("context" above)
    if (stage != 4)
        violation("the acquisition did not reach the wait for the game's answer", std::to_string(stage));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    bool active = data[0] & 1;
    std::string block((const char *)data + 1, size - 1), text;
    bool valid = coordinates_in(block, text);

    world_begin();
    window = BRIDGE_WINDOW;
    w.window_class.lpfnWndProc = procedure;
    w.window_alive = true;
    clipboard_write_text(OTHER, u"the user's own text");
    last_sequence = GetClipboardSequenceNumber();
    w.foreground = GAME;
    take_focus_report(1);
    command("context 3 1 10\n");
    if (active)
        acquisition_awaits_answer();

    clipboard_write(GAME, {{CF_UNICODETEXT, make_block(block.data(), block.size())}});
    procedure(window, WM_CLIPBOARDUPDATE, 0, 0);
    // The change is examined again on the ticks of its first 100 ms, here every 50 ms as the timer
    // of a busy machine would (the verdict on a block that stays is the same on every tick), then
    // up to the deadline of the answer, where nothing changes any more, and past the watch for a
    // late command that follows every loan.
    tick_for(150, 50);
    if (active)
        tick_for(2000 + LATE_COMMAND_MS, 500);

    std::vector<json_object> ends = check_output(world_end());
    if (ends.size() != (valid || active ? 1u : 0u))
        violation(valid ? "a coordinates text was not reported once" : "a refused block got other than its one line",
                  block);
    if (!ends.empty() && (ends[0][0].key == "text") != valid)
        violation("the block's verdict is not the one its content calls for", block);
    if (valid && field(ends[0], "text") != text)
        violation("the reported text does not decode back to the clipboard's text", field(ends[0], "text"));
    if (clipboard_contents() != std::vector<std::string>{"13:" + block})
        violation("the game's block did not stay on the clipboard", block);
    check_world_clean();
    reset_bridge_state();
    double_reset();
    return 0;
}
