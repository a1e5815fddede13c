// Which X windows are Wine's clipboard windows: those that the X connections of a prefix's desktop
// process (explorer.exe, whose clipboard thread bridges Wine's clipboard and X's) made as children
// of the root window to own and import X's selections. Pure: the X side asks, this chooses.
#pragma once

#include <cstdint>
#include <vector>

// An X client's range of resource ids, as the X-Resource extension gives it.
struct XClientRange {
    uint32_t base = 0, mask = 0;
};

// A child of the root window, as QueryTree, GetGeometry and GetWindowAttributes tell of it.
struct RootChild {
    uint32_t id = 0;
    uint16_t width = 0, height = 0;
    bool mapped = false;
    bool input_output = true;  // its class: InputOutput, not InputOnly
};

// Whether the id lies within one of the clients' ranges.
bool made_by(uint32_t id, const std::vector<XClientRange> &clients);

// Of the children made by those clients that are 1x1, unmapped and InputOutput, the first of each
// client, in the given order. Wine's window for a program is mapped and larger, so it is never among
// them. One window per client is enough: an event to any window of an X connection wakes the Wine
// thread that reads that connection (the desktop thread's hidden windows are alike, and harmless).
std::vector<uint32_t> wine_clipboard_windows(const std::vector<XClientRange> &clients,
                                             const std::vector<RootChild> &children);
