// The fixture of every unit test: a fresh world (win32_double.h) with the game's window and another
// program's window, the bridge's state at its start values, its window already made, and its output
// captured. After each test it checks what must hold whatever the test did: the clipboard closed,
// no block left locked, no misuse of the Win32 calls, no process handle left open, and no heap block
// but the snapshot's.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win32_double.h"

#include "acquisition.h"
#include "clipboard.h"
#include "game_watch.h"
#include "host_protocol.h"
#include "keyboard.h"
#include "wine_bridge.h"

#define GAME ((HWND)0x6A3E)
#define GAME_PID 4242ul
#define OTHER ((HWND)0x7E5)
#define OTHER_PID 777ul
#define START_TICK 1000000ull

#define SUFFIX " · vérifiez que le chat est fermé"

class bridge_test : public testing::Test {
protected:
    bool host_sees_game = false;  // the host repeats "focus 1" before every tick
    size_t seen[2] = {0, 0};

    void SetUp() override
    {
        double_reset();
        reset_bridge_state();
        window = BRIDGE_WINDOW;
        w.window_class.lpfnWndProc = procedure;
        w.window_alive = true;
        w.tick = START_TICK;
        w.images = {{GAME_PID, u"C:\\Program Files\\Roberts Space Industries\\StarCitizen\\LIVE\\Bin64\\StarCitizen.exe"},
                    {OTHER_PID, u"C:\\windows\\system32\\notepad.exe"}};
        w.window_pids = {{GAME, GAME_PID}, {OTHER, OTHER_PID}};
        capture_begin();
    }

    void TearDown() override
    {
        EXPECT_FALSE(w.clipboard_open) << "the clipboard was left open";
        EXPECT_EQ(0, blocks_locked()) << "a global block was left locked";
        EXPECT_EQ(0, blocks_orphaned()) << "a global block was neither freed nor given to the clipboard";
        EXPECT_EQ(0, w.misuses) << "a Win32 call was misused (see win32_double.cpp)";
        EXPECT_EQ(0, w.process_handles_open) << "a process handle was left open";
        EXPECT_EQ((size_t)saved_count, w.heap.size()) << "heap blocks beyond the snapshot";
        reset_bridge_state();
        capture_end();
        double_reset();
    }

    void game_in_front()
    {
        w.foreground = GAME;
        host_sees_game = true;
        take_focus_report(1);
    }

    // Moves the clock; a host that sees the game repeats its focus report.
    void at(ULONGLONG tick)
    {
        w.tick = tick;
        if (host_sees_game)
            take_focus_report(1);
    }

    void tick(ULONGLONG tick)
    {
        at(tick);
        procedure(window, WM_TIMER, 1, 0);
    }

    void command(const char *line) { procedure(window, WM_HOST_LINE, 0, (LPARAM)_strdup(line)); }
    void clipboard_change() { procedure(window, WM_CLIPBOARDUPDATE, 0, 0); }

    // Lines printed since the last call, state lines left out unless states is set.
    std::vector<std::string> lines(bool states = false)
    {
        std::vector<std::string> all = printed_lines(), kept;
        for (size_t i = seen[states]; i < all.size(); i++)
            if ((all[i].rfind("{\"native_state\"", 0) == 0) == states)
                kept.push_back(all[i]);
        seen[states] = all.size();
        return kept;
    }
};

inline std::string error_line(const std::string &message, bool suffix = false)
{
    return "{\"error\":\"" + message + (suffix ? SUFFIX : "") + "\",\"epoch\":0}";
}

inline std::string status_line(const std::string &text) { return "{\"status\":\"" + text + "\",\"epoch\":0}"; }

// The bytes of a UTF-16 text and its terminator, as a clipboard block holds them.
inline std::string utf16(const std::u16string &text)
{
    return std::string((const char *)text.c_str(), (text.size() + 1) * 2);
}

typedef std::vector<std::string> lines_t;

// The virtual key whose scan code is scan in the double's layout, 0 for none.
inline WORD vk_of_scan(WORD scan)
{
    for (const auto &pair : w.scan_codes)
        if (pair.second == scan)
            return (WORD)pair.first;
    return 0;
}

// The key events sent, as "scan flags +ms", ms counted from the first event; an event whose virtual
// key is not the key of its scan code, with a time, extra information or a type other than the
// keyboard's is marked.
inline lines_t events(void)
{
    lines_t out;
    for (const key_sent &key : w.keys_sent) {
        char line[64];
        bool odd = key.type != INPUT_KEYBOARD || key.vk != vk_of_scan(key.scan) || key.time || key.extra;
        snprintf(line, sizeof line, "%u %lu +%llu%s", key.scan, key.flags, key.tick - w.keys_sent[0].tick,
                 odd ? " odd" : "");
        out.push_back(line);
    }
    return out;
}
