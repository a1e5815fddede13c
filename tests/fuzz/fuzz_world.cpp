#include "fuzz_world.h"

#include <stdio.h>
#include <stdlib.h>

#include "output_check.h"
#include "wine_bridge.h"

void world_begin(void)
{
    double_reset();
    reset_bridge_state();
    w.tick = START_TICK;
    w.filetime = 134000000000000000ull;
    w.images = {{GAME_PID, u"C:\\Program Files\\Roberts Space Industries\\StarCitizen\\LIVE\\Bin64\\StarCitizen.exe"},
                {OTHER_PID, u"C:\\windows\\system32\\notepad.exe"}};
    w.window_pids = {{GAME, GAME_PID}, {GAME_SECOND, GAME_PID}, {OTHER, OTHER_PID}};
    w.window_classes = {{X_BRIDGE, u"__wine_clipboard_manager"}, {OTHER, u"Notepad"}};
    w.scan_codes['P'] = 25;
    capture_begin();
}

std::string world_end(void)
{
    std::string output = printed_text();
    capture_end();
    if (getenv("FUZZ_SHOW_OUTPUT"))  // to see what an input makes the bridge print
        fputs(output.c_str(), stderr);
    return output;
}

static std::string entry_contents(const clip_entry &entry)
{
    return std::to_string(entry.format) + ":" + (entry.data ? block_bytes(entry.data) : "-");
}

std::vector<std::string> clipboard_contents(void)
{
    std::vector<std::string> contents;
    for (const clip_entry &entry : w.clipboard)
        contents.push_back(entry_contents(entry));
    return contents;
}

std::vector<std::string> renderable_contents(void)
{
    std::vector<std::string> contents;
    for (const clip_entry &entry : w.clipboard)
        if (entry.data && GlobalSize(entry.data) && entry.renders_from != NEVER)
            contents.push_back(entry_contents(entry));
    return contents;
}

bool command_on_clipboard(void)
{
    static const char16_t command[] = u"/showlocation";
    return w.clipboard_owner == BRIDGE_WINDOW && w.clipboard.size() == 1 && w.clipboard[0].format == CF_UNICODETEXT &&
           block_bytes(w.clipboard[0].data) == std::string((const char *)command, sizeof command);
}

void check_world_clean(void)
{
    if (w.clipboard_open)
        violation("the clipboard was left open", "");
    if (blocks_locked() || blocks_orphaned())
        violation("a global block was left locked, or neither freed nor given to the clipboard", "");
    if (w.misuses)
        violation("a Win32 call was misused", std::to_string(w.misuses) + " misuses");
    if (w.process_handles_open)
        violation("a process handle was left open", "");
    if (!w.heap.empty() || saved_count)
        violation("a snapshot block is still held", "");
}
