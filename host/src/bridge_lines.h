// The lines that wine_bridge.exe prints, parsed strictly into values: a line is one of these
// kinds with exactly its keys, in its order, of its types, or it is no line of the bridge.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

struct ReadyLine {};

struct StateLine {
    bool foreground;
    uint64_t hwnd;
    uint32_t pid;
    bool busy;
    int32_t epoch;
};

struct ActionLine {
    std::string action;  // "position", "next", "previous" or "survey"
    int32_t epoch;
};

struct StatusLine {
    std::string message;
    int32_t epoch;
};

struct ErrorLine {
    std::string message;
    int32_t epoch;
};

struct TextLine {
    std::string text;  // the coordinates text, unescaped
    double wall_time;  // seconds since 1970-01-01 UTC
    uint64_t latency_ms;
    uint64_t macro_ms;
    int32_t epoch;

    bool passive() const { return latency_ms == 0 && macro_ms == 0; }
};

using BridgeLine = std::variant<ReadyLine, StateLine, ActionLine, StatusLine, ErrorLine, TextLine>;

// One line without its line end (a CR before the LF is the caller's to strip).
std::optional<BridgeLine> parse_bridge_line(std::string_view line);

// Whether a line belongs to the context of that epoch: the ready line, which has no epoch, always
// does; a line of an older context (or of none yet) does not.
bool in_epoch(const BridgeLine &line, int32_t epoch);
